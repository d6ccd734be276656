#!/usr/bin/env python3
"""Extraction of a client-sized package: the extractor core against `unzip -o -q`.

Usage: extract_bench.py PATH/TO/zpv_extract_cli [--rounds N] [--work DIR] [--baseline OLD_CLI]

Generates (once, cached in the work folder) a package of about 2000 files and 200 MiB in
nested folders, half compressible text and half incompressible bytes, deflated. Then runs
both extractors alternately, in two cases: into an empty folder, and over an existing
installation of the same package (every file replaced). Prints the median wall and CPU times
and their ratios; the exit status is 0 when the wall-time ratio is at most 0.8 in both cases.
With --baseline, an earlier build of the extractor runs alternately with them, for a before and
after comparison. Last, the peak memory of an extraction into a target whose work folder holds a
planted 50 MB journal.
"""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

FILES = 2000
TOTAL = 200 << 20


def make_package(path):
    rng = random.Random(20261207)
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9)))
             for _ in range(3000)]
    # Sizes: mostly small, a few large; scaled to the total.
    raw = [rng.paretovariate(1.2) for _ in range(FILES)]
    scale = TOTAL / sum(raw)
    sizes = [max(0, int(r * scale)) for r in raw]
    sizes[0] = 0   # an empty file
    tmp = path + '.part'
    with zipfile.ZipFile(tmp, 'w', zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for d in range(20):
            z.writestr('res/folder%02d/empty/' % d, '')
        for i, size in enumerate(sizes):
            depth = rng.randint(0, 4)
            parts = ['dir%d' % rng.randint(0, 7) for _ in range(depth)]
            name = '/'.join(parts + ['file%04d.%s' % (i, 'dat' if i % 2 else 'txt')])
            if i % 2:
                data = os.urandom(size)
            else:
                chunks, n = [], 0
                while n < size:
                    line = ' '.join(rng.choice(words) for _ in range(12)) + '\n'
                    chunks.append(line)
                    n += len(line)
                data = ''.join(chunks).encode()[:size]
            z.writestr(name, data)
    os.replace(tmp, path)


def timed(cmd):
    """Wall time and CPU time (user + system) of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('cli')
    ap.add_argument('--rounds', type=int, default=7)
    ap.add_argument('--work', help='folder for the package and outputs (default: beside the program)')
    ap.add_argument('--baseline', help='an earlier build of zpv_extract_cli, measured alongside')
    a = ap.parse_args()
    a.cli = os.path.abspath(a.cli)
    a.work = a.work or os.path.join(os.path.dirname(a.cli), 'extract-bench')
    os.makedirs(a.work, exist_ok=True)
    pkg = os.path.join(a.work, 'package.zip')
    if not os.path.exists(pkg):
        print('generating', pkg, file=sys.stderr)
        make_package(pkg)
    with zipfile.ZipFile(pkg) as z:
        infos = z.infolist()
        print('package: %d entries, %.1f MiB unpacked, %.1f MiB packed'
              % (len(infos), sum(i.file_size for i in infos) / 2**20, os.path.getsize(pkg) / 2**20))

    runs = {
        'unzip': lambda d: ['unzip', '-o', '-q', pkg, '-d', d],
        'zpv': lambda d: [a.cli, pkg, d],
    }
    if a.baseline:
        runs['before'] = lambda d: [os.path.abspath(a.baseline), pkg, d]
    names = list(runs)
    dirs = {n: os.path.join(a.work, 'out-' + n) for n in names}
    results = {}
    for case in ('empty folder', 'over installation'):
        times = {n: [] for n in names}
        cpu = {n: [] for n in names}
        for r in range(a.rounds + 1):
            order = names[r % len(names):] + names[:r % len(names)]
            for name in order:
                d = dirs[name]
                if case == 'empty folder':
                    shutil.rmtree(d, ignore_errors=True)
                elif not os.path.isdir(d):
                    subprocess.run(runs[name](d), check=True, stdout=subprocess.DEVNULL)
                subprocess.run(['sync'])
                t, c = timed(runs[name](d))
                if r > 0:   # the first round warms the caches
                    times[name].append(t)
                    cpu[name].append(c)
        wall = {n: statistics.median(times[n]) for n in names}
        cp = {n: statistics.median(cpu[n]) for n in names}
        results[case] = (wall['unzip'], wall['zpv'])
        print('%-18s wall: %s | cpu: %s  (medians of %d, rotating)' % (
            case,
            '  '.join('%s %.3f s (%.2f)' % (n, wall[n], wall[n] / wall['unzip']) for n in names),
            '  '.join('%s %.3f s' % (n, cp[n]) for n in names), a.rounds))
    # All produced the same files.
    same = True
    for n in names[1:]:
        diff = subprocess.run(['diff', '-r', '-q', dirs['unzip'], dirs[n]], stdout=subprocess.PIPE, text=True)
        same = same and diff.returncode == 0
        print('%s: outputs identical' % n if diff.returncode == 0 else 'OUTPUTS DIFFER:\n' + diff.stdout[:2000])
    for d in dirs.values():
        shutil.rmtree(d, ignore_errors=True)

    # A work folder with a planted journal of 50 MB (a wrong CRC): refused in bounded memory.
    planted = os.path.join(a.work, 'planted')
    shutil.rmtree(planted, ignore_errors=True)
    run_dir = os.path.join(planted, '.zpv-extract', 'run-1')
    os.makedirs(run_dir)
    with open(os.path.join(run_dir, 'journal'), 'wb') as f:
        f.write(b'ZPVJ 1 P\n' + b'N\ta\n' * (50 << 18) + b'E\t13107200\t00000000\n')
    t0 = time.perf_counter()
    res = subprocess.run(['/usr/bin/time', '-f', '%M', a.cli, pkg, planted], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    print('planted 50 MB journal: status %d in %.3f s, peak RSS %s KiB' % (
        res.returncode, time.perf_counter() - t0, res.stderr.strip().splitlines()[-1]))
    shutil.rmtree(planted, ignore_errors=True)
    worst = max(mz / mu for mu, mz in results.values())
    return 0 if worst <= 0.8 and same else 1


if __name__ == '__main__':
    sys.exit(main())
