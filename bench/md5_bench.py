#!/usr/bin/env python3
"""MD5File against md5sum, side by side: throughput ratio on a 256 MiB file (alternating runs,
medians and minimums) and the benchmark process's peak memory for 16 MiB and 256 MiB files.
Usage: bench/md5_bench.py [build/native/bin/md5_bench] [--runs N]"""
import os
import statistics
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
args = [a for i, a in enumerate(sys.argv[1:], 1) if not a.startswith("--") and sys.argv[i - 1] != "--runs"]
tool = args[0] if args else os.path.join(root, "build/native/bin/md5_bench")
runs = int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 9
work = os.path.join(root, "build/bench-md5")
os.makedirs(work, exist_ok=True)


def make(size_mib):
    path = os.path.join(work, "data-%d.bin" % size_mib)
    if not os.path.exists(path) or os.path.getsize(path) != size_mib << 20:
        with open(path, "wb") as f:
            for _ in range(size_mib):
                f.write(os.urandom(1 << 20))
    return path


def run(cmd):
    """Wall time and peak RSS (KiB, measured by GNU time around the process) of one run, and the
    digest it printed."""
    t0 = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, capture_output=True, check=True)
    elapsed = time.perf_counter() - t0
    return elapsed, int(p.stderr.split()[-1]), p.stdout.split()[0].decode()


big = make(256)
small = make(16)
ours, theirs = [], []
run([tool, big]); run(["md5sum", big])   # warm the page cache
for i in range(runs):
    a = run([tool, big]); b = run(["md5sum", big])
    assert a[2] == b[2], "digests differ: %s %s" % (a[2], b[2])
    ours.append(a[0]); theirs.append(b[0])
mib = 256
print("MD5 of a 256 MiB file, %d alternating runs each" % runs)
print("  md5_bench: median %.3f s (%.0f MiB/s), min %.3f s" % (statistics.median(ours), mib / statistics.median(ours), min(ours)))
print("  md5sum   : median %.3f s (%.0f MiB/s), min %.3f s" % (statistics.median(theirs), mib / statistics.median(theirs), min(theirs)))
ratio = statistics.median(theirs) / statistics.median(ours)
print("  throughput ratio md5_bench / md5sum (medians): %.3f  (target >= 0.95)" % ratio)
rss_small = run([tool, small])[1]
rss_big = run([tool, big])[1]
print("  peak RSS: %d KiB for 16 MiB, %d KiB for 256 MiB" % (rss_small, rss_big))
sys.exit(0 if ratio >= 0.95 and abs(rss_big - rss_small) < 1024 else 1)
