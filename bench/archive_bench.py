#!/usr/bin/env python3
"""Times qar_packer's create and extract against zip/unzip, tar+pigz and plain tar on
the same files, in the same run.

Usage:
    python3 bench/archive_bench.py create  [--tool build/qar_packer] [--runs 3] [--size medium]
    python3 bench/archive_bench.py extract [--tool build/qar_packer] [--runs 3] [--size medium]

The corpus comes from bench/make_corpus.py (--size SIZE); its .dds and
.tobj files are removed, since texture entries are benchmarked separately. Each command
runs RUNS times; the table shows the median wall time, CPU seconds (user + system),
peak resident memory and the output size.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def corpus(size, cache):
    """The generated tree without textures, made once per cache directory."""
    tree = os.path.join(cache, f"{size}_notex")
    if os.path.isdir(tree):
        return tree
    raw = os.path.join(cache, size)
    if not os.path.isdir(raw):
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), raw, "--size", size],
                       check=True)
    shutil.copytree(raw, tree + ".tmp", symlinks=True)
    for root, _, files in os.walk(tree + ".tmp"):
        for name in files:
            if name.endswith(".dds") or name.endswith(".tobj"):
                os.remove(os.path.join(root, name))
    os.rename(tree + ".tmp", tree)
    return tree


def timed(command, cwd=None):
    """(wall s, cpu s, peak KiB) of one shell command, measured by GNU time."""
    with tempfile.NamedTemporaryFile(mode="r") as report:
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%e %U %S %M", "bash", "-c", command],
                       cwd=cwd, check=True, stdout=subprocess.DEVNULL)
        wall, user, system, peak = report.read().split()[-4:]
    return float(wall), float(user) + float(system), int(peak)


def drop_caches():
    # Best effort: without root the page cache simply stays warm for every contender.
    try:
        subprocess.run(["sync"], check=False)
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
    except OSError:
        pass


def measure(name, command, runs, output=None, prepare=None, cwd=None):
    samples = []
    for _ in range(runs):
        if prepare:
            prepare()
        drop_caches()
        samples.append(timed(command, cwd))
    size = os.path.getsize(output) if output and os.path.isfile(output) else None
    wall = statistics.median(s[0] for s in samples)
    cpu = statistics.median(s[1] for s in samples)
    peak = max(s[2] for s in samples)
    return dict(name=name, wall=wall, cpu=cpu, peak_mb=peak / 1024, size=size)


def print_table(rows, reference):
    print(f"{'command':<34} {'wall s':>8} {'cpu s':>8} {'peak MB':>9} {'output MB':>10} {'wall/' + reference:>12}")
    ref = next(r for r in rows if r["name"] == reference)["wall"]
    for r in rows:
        size = f"{r['size'] / 1e6:10.1f}" if r["size"] else f"{'-':>10}"
        print(f"{r['name']:<34} {r['wall']:8.2f} {r['cpu']:8.2f} {r['peak_mb']:9.1f} {size} {r['wall'] / ref:12.2f}")


def bench_create(args, tree, work):
    qar = os.path.join(work, "corpus.qar")
    zip_file = os.path.join(work, "corpus.zip")
    tgz = os.path.join(work, "corpus.tar.gz")
    rows = [
        measure("qar_packer create", f"'{args.tool}' create '{qar}' -root '{tree}'", args.runs, qar),
        measure("zip -9 -r -q", f"rm -f '{zip_file}' && zip -9 -r -q '{zip_file}' .", args.runs, zip_file, cwd=tree),
        measure("tar -cf - | pigz -9 -p 2", f"tar -cf - . | pigz -9 -p 2 > '{tgz}'", args.runs, tgz, cwd=tree),
    ]
    largest = max(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(tree) for f in fs)
    print_table(rows, "zip -9 -r -q")
    print(f"largest source file: {largest / 1e6:.1f} MB; "
          f"create peak memory limit (300 MB + largest file): {300 + largest / 1e6:.1f} MB")


def bench_extract(args, tree, work):
    qar = os.path.join(work, "corpus.qar")
    zip_file = os.path.join(work, "corpus.zip")
    tgz = os.path.join(work, "corpus.tar.gz")
    tar = os.path.join(work, "corpus.tar")
    subprocess.run([args.tool, "create", qar, "-root", tree], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(f"zip -9 -r -q '{zip_file}' .", shell=True, cwd=tree, check=True)
    subprocess.run(f"tar -cf - . | pigz -9 -p 2 > '{tgz}'", shell=True, cwd=tree, check=True)
    subprocess.run(f"tar -cf '{tar}' .", shell=True, cwd=tree, check=True)
    out = os.path.join(work, "out")

    def fresh():
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)

    budget = args.io_buffers_size
    rows = [
        measure(f"qar_packer extract (-io-buffers-size {budget})",
                f"'{args.tool}' extract '{qar}' -root '{out}' -io-buffers-size {budget}", args.runs, prepare=fresh),
        measure("unzip -q", f"unzip -q '{zip_file}' -d '{out}'", args.runs, prepare=fresh),
        measure("pigz -d | tar -x", f"pigz -d -c '{tgz}' | tar -x -C '{out}'", args.runs, prepare=fresh),
        measure("tar -x (uncompressed floor)", f"tar -x -f '{tar}' -C '{out}'", args.runs, prepare=fresh),
    ]
    print_table(rows, "unzip -q")
    print(f"extract peak memory limit (budget {budget} MiB + 64 MB): {budget * 1.048576 + 64:.1f} MB")
    fresh()
    subprocess.run([args.tool, "extract", qar, "-root", out], check=True, stdout=subprocess.DEVNULL)
    same = subprocess.run(["diff", "-r", "-q", tree, out], stdout=subprocess.DEVNULL).returncode == 0
    print("extracted tree matches the source tree" if same else "EXTRACTED TREE DIFFERS")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("command", choices=["create", "extract"])
    ap.add_argument("--tool", default=os.path.join(TOP, "build", "qar_packer"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--size", default="medium")
    ap.add_argument("--cache", default=os.path.join(TOP, "build", "bench_corpus"))
    ap.add_argument("--io-buffers-size", type=int, default=1024)
    args = ap.parse_args()
    args.tool = os.path.abspath(args.tool)
    os.makedirs(args.cache, exist_ok=True)
    tree = corpus(args.size, args.cache)
    with tempfile.TemporaryDirectory(dir=args.cache) as work:
        (bench_create if args.command == "create" else bench_extract)(args, tree, work)


if __name__ == "__main__":
    main()
