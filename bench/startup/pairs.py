"""Paired start-up timings: runs command A and command B in turn (A B A B
...), RUNS times each after one warm-up of each, and prints the median CPU
time (user + system, the kernel's accounting of the finished child), the
median wall time, and the median of the pair-by-pair ratios A/B, which keeps
the ratio meaningful when the machine's speed drifts during the run.
Usage: pairs.py RUNS 'COMMAND A' 'COMMAND B'  (each split as a shell would)"""
import os
import shlex
import statistics
import subprocess
import sys
import time


def run(argv):
    t0 = time.monotonic()
    p = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        sys.exit(f"pairs.py: {shlex.join(argv)} exited with {p.returncode}")
    return usage.ru_utime + usage.ru_stime, wall


def main():
    runs = int(sys.argv[1])
    a, b = shlex.split(sys.argv[2]), shlex.split(sys.argv[3])
    run(a)
    run(b)
    rows = [(run(a), run(b)) for _ in range(runs)]
    for name, k in (("A", 0), ("B", 1)):
        cpu = statistics.median(r[k][0] for r in rows)
        wall = statistics.median(r[k][1] for r in rows)
        print(f"{name} cpu {cpu * 1000:.1f} ms, wall {wall * 1000:.1f} ms (median of {runs})")
    for what, i in (("cpu", 0), ("wall", 1)):
        ratio = statistics.median(r[0][i] / r[1][i] for r in rows if r[1][i] > 0)
        print(f"A/B {what} {ratio:.2f} (median of the pairs' ratios)")


main()
