#!/usr/bin/env python3
"""Plants links in extraction targets as another account could (Unix symbolic links, which the
emulator shows as links), then runs the extractor library's test of them under Wine.

    planted_wine.py TEST_PROGRAM

Each row is a folder NN-STATUS-what holding the target `client` and an `outside` folder that
belongs to someone else; the test extracts a package into each and compares both trees."""
import os
import shutil
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def journal(state, steps):
    return b"ZPVJ 1 %c\n%sE\t%d\t%08x\n" % (state, steps, steps.count(b"\n"), zlib.crc32(steps))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def plant_old_link(t, out, run):
    write(run + "/journal", journal(ord("C"), b""))
    os.symlink(out, run + "/old")


def plant_target_link(t, out, run):
    os.symlink(out, t + "/link")
    write(t + "/x.txt", b"x")
    write(run + "/stage/link/planted.dll", b"attacker bytes")
    write(run + "/stage/x.txt", b"attacker x")
    os.makedirs(run + "/old")
    write(run + "/journal", journal(ord("P"), b"N\tlink/planted.dll\nR\t0\tx.txt\tlink/victim\n"))


def plant_stage_link(t, out, run):
    os.makedirs(run + "/stage")
    os.symlink(out, run + "/stage/loot")
    write(run + "/journal", journal(ord("P"), b"D\tloot\nN\tloot/secret.txt\n"))


def plant_work_link(t, out, run):
    os.symlink(out, t + "/.zpv-extract")


def plant_target_through_link(t, out, run):
    os.rename(t, t + "-real")
    os.symlink(t + "-real", t)


ROWS = [(26, plant_old_link), (26, plant_target_link), (26, plant_stage_link), (26, plant_work_link),
        (0, plant_target_through_link)]


def main(test):
    top = tempfile.mkdtemp(prefix="zpv-planted.")
    try:
        for n, (status, plant) in enumerate(ROWS):
            row = os.path.join(top, "%02d-%d-%s" % (n, status, plant.__name__))
            t, out = row + "/client", row + "/outside"
            write(out + "/secret.txt", b"other account's secret")
            write(out + "/victim", b"other account's file")
            write(t + "/bin/client.exe", b"old client")
            plant(t, out, t + "/.zpv-extract/run-1")
        env = dict(os.environ, ZPV_TEST_PLANTED="Z:" + top.replace("/", "\\"))
        return subprocess.call([ROOT + "/tools/wine-run", test, "--gtest_brief=1", "--gtest_filter=*PlantedLinks*"],
                               env=env)
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
