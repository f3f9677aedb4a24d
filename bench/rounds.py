#!/usr/bin/env python3
"""Runs commands in turn, round after round, so that a neighbour's load hits
them all alike, and prints each one's median wall and CPU time and its ratio
to each reference: of the medians, and the median of the per-round ratios.

usage: rounds.py RUNS NAME=COMMAND... [--ours NAME=ARGV...]

Each NAME=COMMAND before --ours is a shell command (bash -c) and a reference;
after --ours come the commands measured, as a program and its arguments
separated by single spaces, whose own peak resident memory (VmHWM) is also
read while they run. One warm-up round comes first. CPU is user + system of
the command and every child it waits for (ffmpeg, cat).
"""

import os
import statistics
import subprocess
import sys
import threading
import time


def peak_kib(pid, stop, result):
    path = f"/proc/{pid}/status"
    while not stop.is_set():
        try:
            with open(path) as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        result[0] = max(result[0], int(line.split()[1]))
        except OSError:
            return
        stop.wait(0.05)


def run(argv, watch):
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    stop, peak = threading.Event(), [0]
    watcher = threading.Thread(target=peak_kib, args=(child.pid, stop, peak)) if watch else None
    if watcher:
        watcher.start()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if watcher:
        stop.set()
        watcher.join()
    if child.returncode != 0:
        sys.exit(f"{argv} exited with {child.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, peak[0]


def main():
    runs = int(sys.argv[1])
    refs, ours, target = [], [], None
    target = refs
    for arg in sys.argv[2:]:
        if arg == "--ours":
            target = ours
            continue
        name, command = arg.split("=", 1)
        target.append((name, command))
    commands = [(n, ["bash", "-c", c], False) for n, c in refs] + \
               [(n, c.split(" "), True) for n, c in ours]
    times = {n: [] for n, _, _ in commands}
    for i in range(runs + 1):
        for name, argv, watch in commands:
            result = run(argv, watch)
            if i > 0:
                times[name].append(result)
    print(f"{runs} alternating rounds after one warm-up; medians:")
    med = lambda xs: statistics.median(xs)
    for name, _, watch in commands:
        t = times[name]
        line = f"  {name}: {med(w for w, _, _ in t):.3f} s wall, {med(c for _, c, _ in t):.3f} s CPU"
        if watch:
            line += f", peak resident {max(p for _, _, p in t)} KiB"
        print(line)
    for name, _, _ in [c for c in commands if c[2]]:
        for ref, _, _ in [c for c in commands if not c[2]]:
            o, r = times[name], times[ref]
            for k, what in ((0, "wall"), (1, "CPU")):
                of_medians = med(x[k] for x in o) / med(x[k] for x in r)
                per_round = med(x[k] / y[k] for x, y in zip(o, r))
                print(f"  {name} / {ref} ({what}): ratio of medians {of_medians:.3f}x,"
                      f" median round ratio {per_round:.3f}x")


if __name__ == "__main__":
    main()
