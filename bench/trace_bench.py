#!/usr/bin/env python3
"""What recording costs a whole create: the same build packs the same corpus with and
without -trace, alternately, in one run.

Usage:
    python3 bench/trace_bench.py [--tool build/qar_packer] [--corpus DIR | --size medium]
                                 [--runs 3] [--scope-bench build/bench/profiler_bench]

Without -trace a scope costs one branch; that cost cannot be told apart from the run's
noise by timing whole runs, so it is computed: the scopes a traced run records (counted
in its trace) times the extra CPU time of a scope with tracing off over no scope at all,
as bench/profiler_bench measures it, as a share of the untraced run's CPU time. With
-trace the share is measured directly: CPU seconds (user + system, all threads, the
writing of the trace included) of the traced runs over the untraced ones, median and
range.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def generated_corpus(size, cache):
    tree = os.path.join(cache, size)
    if not os.path.isdir(tree):
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), tree, "--size", size], check=True)
    return tree


def timed(command, cwd):
    """(wall s, cpu s) of one command, measured by GNU time."""
    with tempfile.NamedTemporaryFile(mode="r") as report:
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%e %U %S"] + command, cwd=cwd, check=True,
                       stdout=subprocess.DEVNULL)
        wall, user, system = report.read().split()[-3:]
    return float(wall), float(user) + float(system)


def scope_overhead_ns(scope_bench):
    """Extra CPU ns of a scope with tracing off over the same loop without one."""
    out = subprocess.run([scope_bench, "--benchmark_filter=BM_no_scope|BM_scope_off|BM_scope_format_off",
                          "--benchmark_repetitions=5", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    medians = {b["run_name"]: b["cpu_time"] for b in json.loads(out)["benchmarks"]
               if b.get("aggregate_name") == "median"}
    base = medians["BM_no_scope"]
    return max(medians["BM_scope_off"], medians["BM_scope_format_off"]) - base


def trace_records(path):
    """Records the traced run made (its last "profiler.records" value) and the events
    its trace holds."""
    with open(path, encoding="utf-8") as f:
        events = json.load(f)
    counts = [e["args"][""] for e in events if e.get("ph") == "C" and e["name"] == "profiler.records"]
    return (counts[-1] if counts else 0), len(events)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(TOP, "build", "qar_packer"))
    parser.add_argument("--scope-bench", default=os.path.join(TOP, "build", "bench", "profiler_bench"))
    parser.add_argument("--corpus", help="source tree to pack (default: one made by make_corpus.py)")
    parser.add_argument("--size", default="medium")
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "qar_bench_corpus"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    corpus = args.corpus or generated_corpus(args.size, args.cache)

    with tempfile.TemporaryDirectory() as work:
        archive = os.path.join(work, "bench.qar")
        off, on = [], []
        records = events = 0
        for _ in range(args.runs):
            off.append(timed([args.tool, "create", archive, "-root", corpus], work))
            on.append(timed([args.tool, "create", archive, "-root", corpus, "-trace"], work))
            traces = [n for n in os.listdir(work) if n.startswith("trace_")]
            for name in traces:
                records, events = trace_records(os.path.join(work, name))
                os.remove(os.path.join(work, name))

    cpu_off = statistics.median(s[1] for s in off)
    cpu_on = statistics.median(s[1] for s in on)
    ratios = sorted(b[1] / a[1] for a, b in zip(off, on))
    print(f"corpus {corpus}, {args.runs} runs of each, alternating")
    print(f"{'create':<16} {'wall s (median)':>16} {'cpu s (median)':>15} {'cpu s range':>18}")
    for name, samples in (("without -trace", off), ("with -trace", on)):
        cpus = [s[1] for s in samples]
        print(f"{name:<16} {statistics.median(s[0] for s in samples):>16.2f} {statistics.median(cpus):>15.2f} "
              f"{min(cpus):>8.2f} - {max(cpus):<8.2f}")
    print(f"with -trace: cpu {100 * (cpu_on / cpu_off - 1):+.2f}% (per run pair {100 * (ratios[0] - 1):+.2f}% .. "
          f"{100 * (ratios[-1] - 1):+.2f}%), trace of {events} events")
    if os.path.isfile(args.scope_bench):
        # A scope is a begin and an end record; counting every record as half a scope
        # overstates the scopes by the counter samples.
        scopes = records // 2
        ns = scope_overhead_ns(args.scope_bench)
        share = scopes * ns * 1e-9 / cpu_off
        print(f"without -trace: at most {scopes} scopes x {ns:.2f} ns = {scopes * ns * 1e-6:.3f} ms, "
              f"{100 * share:.4f}% of the run's cpu")


if __name__ == "__main__":
    main()
