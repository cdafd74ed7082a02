#!/usr/bin/python3
"""`tarnel cache` on 1,000 mixed files against one `tarnel thumbnail` process per file, in the same run.

Usage: cache_bench.py TARNEL MAKE_SAMPLES [JSON]. The files: 400 studies with a picture, 100 without, 100
projects of one to four studies, 250 binary and 100 ASCII STL meshes and 50 .tvx meshes, each a file of its
own. Measured: one process per file, one after the other (as a file manager's queue runs them) and with as
many at once as there are processors; `tarnel cache` filling an empty cache; `tarnel cache` again with
nothing changed. The caller must have registered the module (TARNEL_REGISTRY). JSON: the figures, for the
bench table."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
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


def per_file(names, out, workers):
    def one(item):
        i, name = item
        return subprocess.run([tarnel, "thumbnail", "-s", "256", name, os.path.join(out, f"{i}.png")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    start = time.monotonic()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        codes = list(pool.map(one, enumerate(names)))
    return time.monotonic() - start, sum(1 for c in codes if c == 0)


def cache_run(files, cache_home):
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
        filled = cache_run(files, cache_home)
        entries = len(os.listdir(os.path.join(cache_home, "thumbnails", "large")))
        again = cache_run(files, cache_home)
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
        if out_json:
            with open(out_json, "w") as f:
                json.dump(figures, f)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


main()
