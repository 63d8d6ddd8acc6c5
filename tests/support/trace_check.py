#!/usr/bin/env python3
"""Reads a trace file as a trace viewer would and prints what it holds.

Output: "thread <name>" for every named thread, "scope <name>" for every distinct scope
name, "counter <name>" for every counter, "instant <name>", "threads-named <name> <n>"
and finally "ok"; or one line "error: ..." and exit code 1 when the file is not a valid
trace (not JSON, an event of an unnamed thread, a scope of zero length, scopes of one
thread that overlap without nesting).
"""
import collections
import json
import sys


def fail(message):
    print("error: " + message)
    sys.exit(1)


def check(path):
    with open(path, encoding="utf-8") as f:
        events = json.load(f)
    if not isinstance(events, list) or not events or events[-1] != {}:
        fail("not an array ending in {}")
    names = {}
    scopes = collections.defaultdict(list)
    used = set()
    counters, instants = set(), set()
    for e in events[:-1]:
        ph, tid = e["ph"], e["tid"]
        if e["pid"] != 0:
            fail("pid %r" % e["pid"])
        if ph == "M":
            names[tid] = e["args"]["name"]
            continue
        used.add(tid)
        if ph == "X":
            if e["dur"] <= 0:
                fail("scope %r of zero length" % e["name"])
            scopes[tid].append((e["ts"], e["ts"] + e["dur"], e["name"]))
        elif ph == "C":
            counters.add(e["name"])
            if list(e["args"].keys()) != [""]:
                fail("counter arguments %r" % e["args"])
        elif ph == "i":
            instants.add(e["name"])
        else:
            fail("phase %r" % ph)
    for tid in used:
        if tid not in names:
            fail("thread %r has no name" % tid)
    for tid, spans in scopes.items():
        # Earlier first; of two that start together the longer one encloses the other.
        spans.sort(key=lambda s: (s[0], -s[1]))
        stack = []
        for begin, end, name in spans:
            while stack and stack[-1][1] <= begin:
                stack.pop()
            if stack and end > stack[-1][1]:
                fail("%r overlaps %r on %s" % (name, stack[-1][2], names[tid]))
            stack.append((begin, end, name))
    for name in sorted(set(names[t] for t in used)):
        print("thread " + name)
    for name in sorted(collections.Counter(names.values())):
        print("threads-named %s %d" % (name, list(names.values()).count(name)))
    for name in sorted(set(s[2] for spans in scopes.values() for s in spans)):
        print("scope " + name)
    for name in sorted(counters):
        print("counter " + name)
    for name in sorted(instants):
        print("instant " + name)
    print("ok")


if __name__ == "__main__":
    check(sys.argv[1])
