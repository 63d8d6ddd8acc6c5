#!/usr/bin/env python3
"""Times qar_packer's create and extract against zip/unzip, tar+pigz and plain tar on
the same files, in the same run.

Usage:
    python3 bench/archive_bench.py create  [options]
    python3 bench/archive_bench.py extract [options]
    python3 bench/archive_bench.py all     [options]   (create, then extract)

Options:
    --tool PATH            the qar_packer under test (default build/qar_packer)
    --baseline-tool [NAME=]PATH
                           an older qar_packer run beside it (its create without
                           -compression-level, its extract of the same archive);
                           repeatable, NAME labels its rows (default "baseline")
    --levels 6,9,10,12     -compression-level values of create (default: the tool's default only)
    --corpus DIR           an existing tree (read only) instead of bench/make_corpus.py --size SIZE
    --textures             keep the corpus's .dds and .tobj files (default: a copy without them)
    --small-files N        instead of a corpus, N files of a few bytes, five to a directory
                           (what every file costs beyond its bytes: opens, stats, tasks, entries)
    --runs N               runs per command (default 3); the table shows medians
    --work DIR             keep archives and trees here (default: a temporary directory);
                           extract uses the archive, zip and tar files already there

Every timed run starts with a cold page cache (as root; otherwise the cache stays warm for
every contender alike). The table shows the median wall time, CPU seconds (user +
system), peak resident memory and the output size, and the ratios the targets are set in.
After extract the tree is compared with the source: plain files byte for byte, and with
--textures each descriptor's rebuilt DDS by its pixels (extract writes new headers).
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)

TEXTURE_SUFFIXES = (".dds", ".tobj")


def is_texture(name):
    return name.endswith(TEXTURE_SUFFIXES)


def generated_corpus(size, cache):
    raw = os.path.join(cache, size)
    if not os.path.isdir(raw):
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), raw, "--size", size], check=True)
    return raw


def small_files_tree(count, cache):
    """count files of a few bytes, five to a directory and 500 directories to an area, made once."""
    tree = os.path.join(cache, f"small_files_{count}")
    if os.path.isdir(tree):
        return tree
    building = tree + ".tmp"
    shutil.rmtree(building, ignore_errors=True)
    for i in range(count):
        directory = os.path.join(building, f"area{i // 2500:03d}", f"sector{i // 5 % 500:03d}")
        if i % 5 == 0:
            os.makedirs(directory)
        with open(os.path.join(directory, f"f{i % 5}.txt"), "w") as f:
            f.write(f"{i}\n")
    os.rename(building, tree)
    return tree


def without_textures(tree, cache):
    """A copy of the tree without .dds and .tobj files, made once per cache directory."""
    name = os.path.basename(os.path.normpath(tree))
    copy = os.path.join(cache, f"{name}_notex")
    if os.path.isdir(copy):
        return copy
    shutil.copytree(tree, copy + ".tmp", symlinks=True, ignore=lambda d, names: [n for n in names if is_texture(n)])
    os.rename(copy + ".tmp", copy)
    return copy


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
    row = dict(name=name, wall=wall, cpu=cpu, peak_mb=peak / 1024, size=size)
    print(f"  {name}: walls {[s[0] for s in samples]}", flush=True)
    return row


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def print_table(rows, references):
    head = f"{'command':<44} {'wall s':>8} {'cpu s':>8} {'peak MB':>9} {'output MB':>10}"
    for ref in references:
        head += f" {'wall/' + ref:>14}"
    print(head)
    walls = {ref: next(r for r in rows if r["name"] == ref)["wall"] for ref in references}
    for r in rows:
        size = f"{r['size'] / 1e6:10.2f}" if r["size"] else f"{'-':>10}"
        line = f"{r['name']:<44} {r['wall']:8.2f} {r['cpu']:8.2f} {r['peak_mb']:9.1f} {size}"
        for ref in references:
            line += f" {r['wall'] / walls[ref]:14.2f}"
        print(line)


def tree_bytes(tree):
    return sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(tree) for f in fs)


def qar_create_rows(args, tree, work):
    rows = []
    for level in args.levels:
        qar = os.path.join(work, f"level{level}.qar")
        option = f" -compression-level {level}" if level is not None else ""
        name = f"qar_packer create -compression-level {level}" if level is not None else "qar_packer create"
        rows.append(measure(name, f"'{args.tool}' create '{qar}' -root '{tree}' -quiet{option}", args.runs, qar))
    for label, tool in args.baseline_tools:
        qar = os.path.join(work, f"{label}.qar")
        rows.append(measure(f"{label} create", f"'{tool}' create '{qar}' -root '{tree}' -quiet", args.runs, qar))
    return rows


def bench_create(args, tree, work):
    zip_file = os.path.join(work, "corpus.zip")
    tgz = os.path.join(work, "corpus.tar.gz")
    print(f"create: {tree}, {tree_bytes(tree) / 1e6:.1f} MB, load before {load()}", flush=True)
    rows = qar_create_rows(args, tree, work)
    rows.append(measure("zip -9 -r -q", f"rm -f '{zip_file}' && zip -9 -r -q '{zip_file}' .", args.runs, zip_file,
                        cwd=tree))
    rows.append(measure("tar -cf - | pigz -9 -p 2", f"tar -cf - . | pigz -9 -p 2 > '{tgz}'", args.runs, tgz, cwd=tree))
    print(f"load after {load()}")
    print_table(rows, ["tar -cf - | pigz -9 -p 2", "zip -9 -r -q"])
    pigz_size = next(r for r in rows if r["name"].startswith("tar -cf"))["size"]
    baselines = [next(r for r in rows if r["name"] == f"{label} create") for label, _ in args.baseline_tools]
    for r in rows[:len(args.levels) + len(baselines)]:
        line = f"{r['name']:<44} size/pigz {r['size'] / pigz_size:.4f}"
        for b in baselines:
            line += f"  cpu/{b['name'].split()[0]} {r['cpu'] / b['cpu']:.3f}"
        print(line)


def bench_extract(args, tree, work):
    qar = os.path.join(work, "corpus.qar")
    zip_file = os.path.join(work, "corpus.zip")
    tgz = os.path.join(work, "corpus.tar.gz")
    tar = os.path.join(work, "corpus.tar")
    # What the create pass of the same run made is used again.
    made = os.path.join(work, "levelNone.qar")
    if os.path.isfile(made):
        os.replace(made, qar)
    if not os.path.isfile(qar):
        subprocess.run([args.tool, "create", qar, "-root", tree, "-quiet"], check=True, stdout=subprocess.DEVNULL)
    if not os.path.isfile(zip_file):
        subprocess.run(f"zip -9 -r -q '{zip_file}' .", shell=True, cwd=tree, check=True)
    if not os.path.isfile(tgz):
        subprocess.run(f"tar -cf - . | pigz -9 -p 2 > '{tgz}'", shell=True, cwd=tree, check=True)
    if not os.path.isfile(tar):
        subprocess.run(f"tar -cf '{tar}' .", shell=True, cwd=tree, check=True)
    out = os.path.join(work, "out")

    def fresh():
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)

    print(f"extract: {tree}, load before {load()}", flush=True)
    budget = args.io_buffers_size
    rows = [measure(f"qar_packer extract (-io-buffers-size {budget})",
                    f"'{args.tool}' extract '{qar}' -root '{out}' -quiet -io-buffers-size {budget}", args.runs,
                    prepare=fresh)]
    for label, tool in args.baseline_tools:
        rows.append(measure(f"{label} extract, same archive",
                            f"'{tool}' extract '{qar}' -root '{out}' -quiet -io-buffers-size {budget}",
                            args.runs, prepare=fresh))
    rows += [
        measure("unzip -q", f"unzip -q '{zip_file}' -d '{out}'", args.runs, prepare=fresh),
        measure("pigz -d | tar -x", f"pigz -d -c '{tgz}' | tar -x -C '{out}'", args.runs, prepare=fresh),
        measure("tar -x (uncompressed tar)", f"tar -x -f '{tar}' -C '{out}'", args.runs, prepare=fresh),
    ]
    print(f"load after {load()}")
    print_table(rows, ["unzip -q", "tar -x (uncompressed tar)"])
    print(f"extract peak memory limit (budget {budget} MiB + 64 MB): {budget * 1.048576 + 64:.1f} MB")
    fresh()
    subprocess.run([args.tool, "extract", qar, "-root", out, "-quiet"], check=True, stdout=subprocess.DEVNULL)
    problems = compare_trees(tree, out, args.textures)
    if problems:
        print(f"EXTRACTED TREE DIFFERS ({len(problems)} problems), first ones:")
        for p in problems[:10]:
            print("  " + p)
    else:
        print("extracted tree matches the source tree" + (" (textures by pixels)" if args.textures else ""))


# ---------------------------------------------------------------------------------------
# Tree comparison

def dds_pixels(path):
    """The bytes after a DDS file's headers (the DX10 header where its FourCC says so)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 128 or data[:4] != b"DDS ":
        return None
    header = 148 if data[84:88] == b"DX10" else 128
    return data[header:]


def descriptor_names(path):
    """The DDS paths a .tobj descriptor names: u64 length and bytes each, after 40 bytes."""
    with open(path, "rb") as f:
        data = f.read()
    names, at = [], 40
    while at + 8 <= len(data):
        (length,) = struct.unpack_from("<Q", data, at)
        names.append(data[at + 8:at + 8 + length].decode("utf-8", "replace"))
        at += 8 + length
    return names


def compare_trees(source, extracted, textures):
    """Lines naming every difference: plain files byte for byte; with textures, each
    descriptor's rebuilt DDS (beside it, named after it) holds the pixels of the DDS
    files the source descriptor names, face after face."""
    problems = []
    plain, descriptors = [], []
    for root, _, files in os.walk(source):
        for name in files:
            rel = os.path.relpath(os.path.join(root, name), source)
            if textures and name.endswith(".tobj"):
                descriptors.append(rel)
            elif not (textures and name.endswith(".dds")):
                plain.append(rel)
    for rel in plain:
        target = os.path.join(extracted, rel)
        if not os.path.isfile(target):
            problems.append(f"missing {rel}")
            continue
        if subprocess.run(["cmp", "-s", os.path.join(source, rel), target]).returncode != 0:
            problems.append(f"differs {rel}")
    for rel in descriptors:
        rebuilt = os.path.join(extracted, os.path.splitext(rel)[0] + ".dds")
        if not os.path.isfile(os.path.join(extracted, rel)) or not os.path.isfile(rebuilt):
            problems.append(f"texture not rebuilt {rel}")
            continue
        names = descriptor_names(os.path.join(source, rel))
        if not all(n.lower().endswith(".dds") for n in names):
            continue  # a raster source: its pixels are decoded at create, not copied
        faces = [dds_pixels(os.path.join(source, n.lstrip("/"))) for n in names]
        if any(f is None for f in faces) or not faces:
            problems.append(f"source DDS unreadable for {rel}")
            continue
        if dds_pixels(rebuilt) != b"".join(faces):
            problems.append(f"pixels differ {rel}")
    print(f"compared {len(plain)} files byte for byte" +
          (f", {len(descriptors)} textures by pixels" if textures else ""))
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("command", choices=["create", "extract", "all"])
    ap.add_argument("--tool", default=os.path.join(TOP, "build", "qar_packer"))
    ap.add_argument("--baseline-tool", action="append", default=[])
    ap.add_argument("--levels", default="", help="comma-separated -compression-level values")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--size", default="medium")
    ap.add_argument("--corpus")
    ap.add_argument("--textures", action="store_true")
    ap.add_argument("--small-files", type=int, default=0)
    ap.add_argument("--cache", default=os.path.join(TOP, "build", "bench_corpus"))
    ap.add_argument("--io-buffers-size", type=int, default=1024)
    ap.add_argument("--work", help="keep the outputs in this directory; extract uses what is already there")
    args = ap.parse_args()
    args.tool = os.path.abspath(args.tool)
    args.baseline_tools = []
    for value in args.baseline_tool:
        label, _, tool = value.rpartition("=")
        args.baseline_tools.append((label or "baseline", os.path.abspath(tool)))
    args.levels = [int(v) for v in args.levels.split(",") if v] or [None]
    os.makedirs(args.cache, exist_ok=True)
    if args.small_files:
        tree = small_files_tree(args.small_files, args.cache)
    else:
        tree = os.path.abspath(args.corpus) if args.corpus else generated_corpus(args.size, args.cache)
        if not args.textures:
            tree = without_textures(tree, args.cache)
    if args.work:
        os.makedirs(args.work, exist_ok=True)
        run_commands(args, tree, os.path.abspath(args.work))
        return
    with tempfile.TemporaryDirectory(dir=args.cache) as work:
        run_commands(args, tree, work)


def run_commands(args, tree, work):
    if args.command in ("create", "all"):
        bench_create(args, tree, work)
    if args.command in ("extract", "all"):
        bench_extract(args, tree, work)


if __name__ == "__main__":
    main()
