#!/usr/bin/python3
"""Prints the one table of `make bench` from the JSON files of one run (FOLDER/*.json): each thumbnail kind's
median time and peak memory, next to its floor and its peers, and the ratios, all from the same run."""
import json
import os
import sys

folder = sys.argv[1]


def medians(name):
    """{benchmark name: (median ms, counters)} of a Google Benchmark JSON file."""
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    found = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        base = b.get("run_name", b["name"]).split("/iterations")[0].split("/real_time")[0]
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
        found[base] = (b["real_time"] * scale, b)
    return found


rows = []


def row(kind, ours, base=None, base_name="", peak=None, base_peak=None, note=""):
    if ours is None:
        rows.append((kind, "-", "", "", "", "", "missing"))
        return
    ratio = f"{ours / base:.2f}" if base else ""
    rows.append((kind, f"{ours:.2f}", f"{peak:.1f}" if peak else "",
                 f"{base:.2f}" if base else "", base_name, ratio, note))


def get(table, name):
    v = table.get(name)
    return (v[0], v[1].get("peak_MiB")) if v else (None, None)


emb = medians("bench_embedded")
study, _ = get(emb, "BM_StudyExtract")
floor, _ = get(emb, "BM_StudyFloor")
row("study, Extract in process", study, floor, "floor: BMP decode", note="target <= 2x")
montage, _ = get(emb, "BM_MontageExtract")
row("project montage, Extract in process", montage, floor, "study floor")
proc, proc_peak = get(emb, "BM_StudyThumbnailProcess")
peer, peer_peak = get(emb, "BM_PixbufThumbnailerProcess")
peer_note = f"peer peak {peer_peak:.1f} MiB; target <= 0.5x" if peer_peak else "target <= 0.5x"
row("study, tarnel thumbnail process", proc, peer, "gdk-pixbuf-thumbnailer -s 256", proc_peak, note=peer_note)
unconfined, _ = get(emb, "BM_StudyThumbnailProcessUnconfined")
row("study process, confined vs not", proc, unconfined, "TARNEL_UNCONFINED=1", note="cost of confinement")
icon, icon_peak = get(emb, "BM_IconThumbnailProcess")
row("icon fallback, tarnel thumbnail process", icon, peer, "gdk-pixbuf-thumbnailer -s 256", icon_peak,
    note="target <= 0.8x")
decode_floor, decode_peak = get(emb, "BM_PixbufDecodeFloorProcess")
row("floor of a study process: start + gdk-pixbuf BMP decode", decode_floor, peer, "gdk-pixbuf-thumbnailer -s 256",
    decode_peak, note="what any process that decodes with gdk-pixbuf pays")

for name, label in (("BM_StartFloorProcess", "floor: a process that only starts"),
                    ("BM_ReadFloorProcess", "floor: a process that only reads the study")):
    t, tp = get(emb, name)
    row(label, t, peer, "gdk-pixbuf-thumbnailer -s 256", tp)

mesh = medians("bench_mesh")
for case, label in (("Binary41k", "mesh 41.6k binary STL"), ("Ascii10k", "mesh 10k ASCII STL"),
                    ("Binary41kColdShaders", "mesh 41.6k, shaders cold"), ("Binary4M", "mesh 4.16M binary STL"),
                    ("Binary2MPackaged", "mesh 2.09M binary STL (100 MiB, packaged settings)")):
    t, tp = get(mesh, f"BM_{case}_Tarnel")
    fl, fp = get(mesh, f"BM_{case}_Floor")
    row(label + " (process)", t, fl, "floor: EGL + VTK reader", tp, fp,
        (f"floor peak {fp:.1f} MiB" if fp else "") + ("; target <= 0.75x" if case == "Binary41k" else ""))
t, tp = get(mesh, "BM_Binary41k_Tarnel")
f3d, f3d_peak = get(mesh, "BM_Binary41k_F3d")
if f3d:
    row("mesh 41.6k vs f3d (process)", t, f3d, "f3d --output", tp, note=f"f3d peak {f3d_peak:.1f} MiB")
else:
    rows.append(("mesh 41.6k vs f3d (process)", f"{t:.2f}" if t else "-", "", "-", "f3d", "",
                 "f3d not run (needs f3d and Xvfb)"))
t, tp = get(mesh, "BM_Binary41k_Tarnel")
unconfined_mesh, _ = get(mesh, "BM_Binary41k_TarnelUnconfined")
row("mesh 41.6k process, confined vs not", t, unconfined_mesh, "TARNEL_UNCONFINED=1", note="cost of confinement")
cold, _ = get(mesh, "BM_Binary41kSandbox_Cold")
prepared, _ = get(mesh, "BM_Binary41kSandbox_Prepared")
row("mesh 41.6k in sandbox, prepared shaders", prepared, cold, "same sandbox, shaders cold",
    note="what the prepared shaders save")

tvx = medians("bench_tvx_reader")
for case in ("binary-41k", "ascii-8k", "binary-4M"):
    t, tp = get(tvx, f"tvx/{case}/merge")
    s, sp = get(tvx, f"stl/{case}/merge")
    row(f"mesh reader {case}, merging", t, s, "vtkSTLReader", tp, sp, f"VTK peak {sp:.1f} MiB" if sp else "")

cache_path = os.path.join(folder, "cache.json")
if os.path.exists(cache_path):
    with open(cache_path) as f:
        c = json.load(f)
    n = c["files"]
    per_seq = c["per_file_sequential_s"] * 1000 / n
    per_par = c["per_file_parallel_s"] * 1000 / n
    fill = c["cache_fill_s"] * 1000 / n
    rows.append((f"tarnel cache, {n} mixed files, per file", f"{fill:.2f}", "", f"{per_seq:.2f}",
                 "one process per file", f"{fill / per_seq:.2f}", f"{n / c['cache_fill_s']:.0f} files/s"))
    rows.append((f"tarnel cache vs {c['jobs']} processes at once", f"{fill:.2f}", "", f"{per_par:.2f}",
                 f"{c['jobs']} per-file processes", f"{fill / per_par:.2f}", ""))
    for key, label, target in (("meshes", "200 binary STLs of 41.6k triangles", 0.5),
                               ("studies", "1,000 studies", 0.25)):
        m = c.get(key)
        if not m:
            continue
        rows.append((f"tarnel cache, {label}, per file", f"{m['cache_ms']:.2f}", f"{m['child_mib']:.1f}",
                     f"{m['per_file_sequential_ms']:.2f}", "one process per file", 
                     f"{m['cache_ms'] / m['per_file_sequential_ms']:.2f}",
                     f"target <= {target}x; " + (f"warm parent {m['warm_parent_mib']:.1f} MiB"
                                                  if m['warm_parent_mib'] else "no warm parent: forked by the command")))
        rows.append((f"  the same against {c['jobs']} processes at once", f"{m['cache_ms']:.2f}", "",
                     f"{m['per_file_parallel_ms']:.2f}", f"{c['jobs']} per-file processes",
                     f"{m['cache_ms'] / m['per_file_parallel_ms']:.2f}", ""))
        rows.append((f"  the same with cold children", f"{m['cache_ms']:.2f}", "", f"{m['cache_cold_ms']:.2f}",
                     "TARNEL_COLD_CHILDREN=1", f"{m['cache_ms'] / m['cache_cold_ms']:.2f}",
                     f"cold child {m['cold_child_mib']:.1f} MiB; what the warm parent saves"))
    rows.append(("tarnel cache, nothing changed, per 1,000", f"{c['cache_unchanged_s'] * 1000 * 1000 / n:.1f}",
                 "", "", "", "", "target well under 1 s"))

headers = ("thumbnail kind", "median ms", "peak MiB", "baseline ms", "baseline", "ratio", "note")
widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(len(headers))]
line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
print(line)
print("-" * len(line))
for r in rows:
    print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)))
