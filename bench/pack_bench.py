#!/usr/bin/env python3
"""Packing and checking a client-sized release: `zpvpack pack` against `zip -r -9 -X` (and
`7z a -tzip -mx=9` when 7z is installed), `zpvpack check` against `unzip -t`, in one run.

Usage: pack_bench.py PATH/TO/zpvpack [--rounds N] [--work DIR]

The release tree is the extraction benchmark's (about 2000 files, 200 MiB, half word text,
half random bytes): its package is generated once by extract_bench.py's generator and unpacked
into WORK/tree/Veltaro. Runs alternate between the tools after one warm-up round; prints the
median wall times, their ratios, the package sizes and each tool's peak resident memory. The
exit status is 0 when pack takes at most 0.5 of zip's wall time with a package no larger than
zip's, check at most 0.6 of unzip -t's, and both stay within 32 MiB.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import extract_bench  # noqa: E402


def run(cmd, cwd=None):
    """Wall time and peak RSS (KiB) of one run. The RSS comes from GNU time: a child forked
    from this script would report the script's own memory as its peak."""
    rss_file = os.path.join(tempfile.gettempdir(), 'pack_bench_rss.%d' % os.getpid())
    t0 = time.perf_counter()
    p = subprocess.run(['/usr/bin/time', '-f', '%M', '-o', rss_file] + cmd, cwd=cwd, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    if p.returncode != 0:
        sys.exit('failed: %s' % ' '.join(cmd))
    with open(rss_file) as f:
        return wall, int(f.read().split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('zpvpack')
    ap.add_argument('--rounds', type=int, default=5)
    ap.add_argument('--work', help='folder for the tree and packages (default: beside the program)')
    a = ap.parse_args()
    a.zpvpack = os.path.abspath(a.zpvpack)
    a.work = os.path.abspath(a.work or os.path.join(os.path.dirname(a.zpvpack), 'pack-bench'))
    tree = os.path.join(a.work, 'tree')
    if not os.path.isdir(os.path.join(tree, 'Veltaro')):
        pkg = os.path.join(a.work, 'source.zip')
        os.makedirs(a.work, exist_ok=True)
        print('generating', tree, file=sys.stderr)
        extract_bench.make_package(pkg)
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(tree)
        subprocess.run(['unzip', '-q', pkg, '-d', os.path.join(tree, 'Veltaro')], check=True)
        os.remove(pkg)
    files = sum(len(f) for _, _, f in os.walk(tree))
    size = sum(os.path.getsize(os.path.join(d, n)) for d, _, f in os.walk(tree) for n in f)
    print('tree: %d files, %.1f MiB' % (files, size / 2**20))

    out = {'zpvpack': os.path.join(a.work, 'zpvpack.zip'), 'zip': os.path.join(a.work, 'zip.zip'),
           '7z': os.path.join(a.work, '7z.zip')}
    packers = {
        'zpvpack': [a.zpvpack, 'pack', 'Veltaro', '-o', out['zpvpack']],
        'zip': ['zip', '-r', '-9', '-X', '-q', out['zip'], 'Veltaro'],
        '7z': ['7z', 'a', '-tzip', '-mx=9', '-bd', out['7z'], 'Veltaro'],
    }
    if not shutil.which('7z'):
        del packers['7z']
    checkers = {
        'zpvpack check': [a.zpvpack, 'check', out['zpvpack']],
        'unzip -t': ['unzip', '-t', '-q', out['zpvpack']],
    }
    wall = {k: [] for k in list(packers) + list(checkers)}
    rss = {k: 0 for k in wall}
    for r in range(a.rounds + 1):
        names = list(packers) if r % 2 == 0 else list(reversed(packers))
        for name in names:
            # 7z at its strongest setting is slow: one timed round is enough to place it.
            if name == '7z' and r > 1:
                continue
            if os.path.exists(out[name]):
                os.remove(out[name])
            t, m = run(packers[name], cwd=tree)
            if r > 0:
                wall[name].append(t)
                rss[name] = max(rss[name], m)
        names = list(checkers) if r % 2 == 0 else list(reversed(checkers))
        for name in names:
            t, m = run(checkers[name])
            if r > 0:
                wall[name].append(t)
                rss[name] = max(rss[name], m)
    med = {k: statistics.median(v) for k, v in wall.items()}
    sizes = {k: os.path.getsize(out[k]) for k in packers}
    for k in packers:
        print('%-14s wall %7.3f s  ratio to zip %.2f  package %10d bytes (%.4f of zip)  peak RSS %6d KiB'
              % (k, med[k], med[k] / med['zip'], sizes[k], sizes[k] / sizes['zip'], rss[k]))
    for k in checkers:
        print('%-14s wall %7.3f s  ratio to unzip -t %.2f  peak RSS %6d KiB'
              % (k, med[k], med[k] / med['unzip -t'], rss[k]))
    print('(medians of %d rounds, alternating, after one warm-up round; 7z: one round)' % a.rounds)
    ok = (med['zpvpack'] <= 0.5 * med['zip'] and sizes['zpvpack'] <= sizes['zip'] and
          med['zpvpack check'] <= 0.6 * med['unzip -t'] and
          max(rss['zpvpack'], rss['zpvpack check']) <= 32 * 1024)
    print('targets met' if ok else 'TARGETS MISSED')
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
