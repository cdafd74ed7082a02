#!/usr/bin/python3
"""`tarnel cache` against one `tarnel thumbnail` process per file, in the same run: on 1,000 mixed files, on
200 binary STLs of 41.6k triangles, and on 1,000 studies.

Usage: cache_bench.py TARNEL MAKE_SAMPLES [JSON]. The files: 400 studies with a picture, 100 without, 100
projects of one to four studies, 250 binary and 100 ASCII STL meshes and 50 .tvx meshes, each a file of its
own. Measured: one process per file, one after the other (as a file manager's queue runs them) and with as
many at once as there are processors; `tarnel cache` filling an empty cache; `tarnel cache` again with
nothing changed. For the meshes and the studies also `tarnel cache` with cold children (each forked by the
command and loading the module, VTK and Mesa itself), and the peak memory of the warm parent and of the
largest child, read from /proc while the run goes. The caller must have registered the module
(TARNEL_REGISTRY). JSON: the figures, for the bench table."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

tarnel, make_samples = sys.argv[1], sys.argv[2]
out_json = sys.argv[3] if len(sys.argv) > 3 else None
jobs = os.cpu_count() or 1


def tetra_binary(scale):
    v = [(0, 0, 0), (scale, 0, 0), (0, scale, 0), (0, 0, scale)]
    faces = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]
    data = b"\0" * 80 + struct.pack("<I", len(faces))
    for f in faces:
        data += struct.pack("<3f", 0, 0, 0) + b"".join(struct.pack("<3f", *v[i]) for i in f) + b"\0\0"
    return data


def tetra_ascii(scale):
    v = [(0, 0, 0), (scale, 0, 0), (0, scale, 0), (0, 0, scale)]
    faces = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]
    text = "solid t\n"
    for f in faces:
        text += "facet normal 0 0 0\nouter loop\n" + "".join("vertex %g %g %g\n" % v[i] for i in f)
        text += "endloop\nendfacet\n"
    return (text + "endsolid t\n").encode()


def make_files(folder):
    samples = os.path.join(folder, "samples")
    subprocess.run([make_samples, samples], check=True, stdout=subprocess.DEVNULL)
    files = os.path.join(folder, "files")
    os.makedirs(files)
    pictures = [open(os.path.join(samples, n), "rb").read() for n in ("plate.qzt", "beam.qzt", "bracket.qzt")]
    plain = open(os.path.join(samples, "plate-plain.qzt"), "rb").read()
    names = []

    def put(name, data):
        with open(os.path.join(files, name), "wb") as f:
            f.write(data)
        names.append(os.path.join(files, name))

    for i in range(400):
        put(f"study{i:03}.qzt", pictures[i % 3])
    for i in range(100):
        put(f"plain{i:03}.qzt", plain)
    for i in range(100):
        studies = "".join(f"STUDY study{(i * 4 + k) % 400:03}.qzt\n" for k in range(1 + i % 4))
        put(f"project{i:03}.kpz", f"PROJECT {i}\n{studies}".encode())
    for i in range(250):
        put(f"mesh{i:03}.stl", tetra_binary(1 + i))
    for i in range(100):
        put(f"ascii{i:03}.stl", tetra_ascii(1 + i))
    for i in range(50):
        put(f"part{i:03}.tvx", tetra_ascii(1 + i))
    return files, names


def sheet_binary(columns, rows):
    """A binary STL of a wavy sheet: 2 x columns x rows triangles."""
    def point(i, j):
        return (i / columns, j / rows, 0.05 * ((i * 7 + j * 3) % 11) / 11)
    parts = [b"\0" * 80, struct.pack("<I", 2 * columns * rows)]
    for i in range(columns):
        for j in range(rows):
            a, b, c, d = point(i, j), point(i + 1, j), point(i + 1, j + 1), point(i, j + 1)
            for tri in ((a, b, c), (a, c, d)):
                parts.append(struct.pack("<12fH", 0, 0, 1, *tri[0], *tri[1], *tri[2], 0))
    return b"".join(parts)


def make_set(folder, name, data, count, extension):
    files = os.path.join(folder, name)
    os.makedirs(files)
    names = []
    for i in range(count):
        path = os.path.join(files, f"{name}{i:04}{extension}")
        with open(path, "wb") as f:
            f.write(data)
        names.append(path)
    return files, names


def per_file(names, out, workers):
    def one(item):
        i, name = item
        return subprocess.run([tarnel, "thumbnail", "-s", "256", name, os.path.join(out, f"{i}.png")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    start = time.monotonic()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        codes = list(pool.map(one, enumerate(names)))
    return time.monotonic() - start, sum(1 for c in codes if c == 0)


def peaks_of(root):
    """Watches the processes below root while it runs: {pid: (parent pid, VmHWM in KiB, first seen, last seen)}."""
    seen = {}
    def look():
        while root.poll() is None:
            now = time.monotonic()
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open(f"/proc/{pid}/status") as f:
                        status = dict(line.split(":", 1) for line in f if ":" in line)
                except OSError:
                    continue
                ppid = int(status.get("PPid", "0"))
                if ppid != root.pid and int(pid) != root.pid:
                    continue
                hwm = int(status.get("VmHWM", "0 kB").split()[0])
                old = seen.get(int(pid), (ppid, 0, now, now))
                seen[int(pid)] = (ppid, max(old[1], hwm), old[2], now)
            time.sleep(0.005)
    watcher = threading.Thread(target=look)
    watcher.start()
    return seen, watcher


def cache_run(files, cache_home, cold=False, watch=False):
    env = dict(os.environ, XDG_CACHE_HOME=cache_home)
    if cold:
        env["TARNEL_COLD_CHILDREN"] = "1"
    shutil.rmtree(cache_home, ignore_errors=True)
    start = time.monotonic()
    process = subprocess.Popen([tarnel, "cache", "--jobs", str(jobs), files], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen, watcher = peaks_of(process) if watch else ({}, None)
    process.wait()
    elapsed = time.monotonic() - start
    if watcher:
        watcher.join()
    # The warm parent lives through the run; the children each live through one file.
    below = {pid: v for pid, v in seen.items() if pid != process.pid}
    warm = max(below.items(), key=lambda kv: kv[1][3] - kv[1][2], default=None)
    if warm and warm[1][3] - warm[1][2] < elapsed / 2:
        warm = None  # no process lived through the run: there was no warm parent (studies only)
    warm_kib = warm[1][1] if warm and not cold else 0
    child_kib = max((v[1] for pid, v in below.items() if not warm or pid != warm[0] or cold), default=0)
    return elapsed, warm_kib / 1024, child_kib / 1024


def compare(folder, name, data, count, extension):
    """One set of like files: one process per file (one at a time, and as many as there are processors),
    the cache warm and cold. Per file, in milliseconds."""
    files, names = make_set(folder, name, data, count, extension)
    out = os.path.join(folder, name + "-out")
    os.makedirs(out)
    sequential, pictures = per_file(names, out, 1)
    parallel, _ = per_file(names, out, jobs)
    cache_home = os.path.join(folder, name + "-cache")
    warm, warm_mib, child_mib = cache_run(files, cache_home, watch=True)
    cold, _, cold_child_mib = cache_run(files, cache_home, cold=True, watch=True)
    figures = {"files": count, "pictures": pictures, "per_file_sequential_ms": sequential * 1000 / count,
               "per_file_parallel_ms": parallel * 1000 / count, "cache_ms": warm * 1000 / count,
               "cache_cold_ms": cold * 1000 / count, "warm_parent_mib": warm_mib, "child_mib": child_mib,
               "cold_child_mib": cold_child_mib}
    print(f"{count} {name} ({pictures} give a picture), per file: one process at a time "
          f"{figures['per_file_sequential_ms']:.1f} ms, {jobs} at a time {figures['per_file_parallel_ms']:.1f} ms; "
          f"tarnel cache {figures['cache_ms']:.1f} ms (cold children {figures['cache_cold_ms']:.1f} ms); "
          f"warm parent {warm_mib:.1f} MiB, largest child {child_mib:.1f} MiB")
    return figures


def cache_home_again(files, cache_home):
    """`tarnel cache` over a cache that is already full."""
    env = dict(os.environ, XDG_CACHE_HOME=cache_home)
    start = time.monotonic()
    subprocess.run([tarnel, "cache", "--jobs", str(jobs), files], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    folder = tempfile.mkdtemp(prefix="tarnel-cachebench-")
    try:
        files, names = make_files(folder)
        n = len(names)
        out = os.path.join(folder, "out")
        os.makedirs(out)
        sequential, pictures = per_file(names, out, 1)
        parallel, _ = per_file(names, out, jobs)
        cache_home = os.path.join(folder, "cache")
        filled, _, _ = cache_run(files, cache_home)
        entries = len(os.listdir(os.path.join(cache_home, "thumbnails", "large")))
        again = cache_home_again(files, cache_home)
        figures = {
            "files": n, "pictures": pictures, "jobs": jobs, "cache_entries": entries,
            "per_file_sequential_s": sequential, "per_file_parallel_s": parallel,
            "cache_fill_s": filled, "cache_unchanged_s": again,
        }
        print(f"{n} files ({pictures} give a picture), {jobs} processors")
        print(f"  one process per file, one at a time:   {sequential:7.2f} s  {n / sequential:7.1f} files/s")
        print(f"  one process per file, {jobs} at a time:     {parallel:7.2f} s  {n / parallel:7.1f} files/s")
        print(f"  tarnel cache, empty cache:              {filled:7.2f} s  {n / filled:7.1f} files/s "
              f"({sequential / filled:.2f}x one at a time, {parallel / filled:.2f}x {jobs} at a time)")
        print(f"  tarnel cache, nothing changed:          {again:7.2f} s  ({again * 1000 / n:.2f} s per 1,000)")
        samples = os.path.join(folder, "samples")
        with open(os.path.join(samples, "plate.qzt"), "rb") as f:
            study = f.read()
        figures["meshes"] = compare(folder, "meshes", sheet_binary(160, 130), 200, ".stl")
        figures["studies"] = compare(folder, "studies", study, 1000, ".qzt")
        if out_json:
            with open(out_json, "w") as f:
                json.dump(figures, f)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


main()
