#!/usr/bin/env python3
"""Fails when an include goes against the direction of the layers:

    log  <-  app/core  <-  download, extract  <-  SkinUI  <-  ui  <-  app

A file may include its own folder and any lower layer; download and extract stay apart.
Tests, tools, benchmarks and fuzz targets sit on top, and so does the publisher's tool pack/
(which uses the extractor's rules but no window code; no product code includes it). Nothing outside tests/ uses tests/:
no include of it and no source of it in another folder's build file."""
import pathlib
import re
import subprocess
import sys

LAYERS = [("log",), ("app/core",), ("download", "extract"), ("SkinUI",), ("ui",), ("app",)]
TOP = ("tests", "tools", "bench", "fuzz", "pack")
# What the publisher's tool may not use: it runs on build servers, without windows.
PACK_NEVER = ("SkinUI", "ui", "app")


def folder_of(path):
    """The layer folder a repository path belongs to, or None for files outside the layers."""
    for group in sorted((f for g in LAYERS for f in g), key=len, reverse=True):
        if path == group or path.startswith(group + "/"):
            return group
    return None


def rank(folder):
    for i, group in enumerate(LAYERS):
        if folder in group:
            return i
    return len(LAYERS) if folder in TOP else None


def main(root):
    files = subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True, check=True).stdout.split()
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
    problems = []
    for name in files:
        top = name.split("/")[0]
        here = folder_of(name) or (top if top in TOP else None)
        if here is None:
            continue
        text = pathlib.Path(root, name).read_text(errors="replace")
        if name.endswith((".cpp", ".h", ".c", ".in")):
            for n, line in enumerate(text.splitlines(), 1):
                m = include.match(line)
                if not m:
                    continue
                target = m.group(1)
                there = folder_of(target) or (target.split("/")[0] if target.split("/")[0] in TOP else None)
                if there is None or there == here:
                    continue
                if here == "pack" and there in PACK_NEVER:
                    problems.append(f"{name}:{n}: pack must not include {there}: {target}")
                elif there == "tests" and here != "tests":
                    problems.append(f"{name}:{n}: includes test code: {target}")
                elif rank(there) is not None and rank(here) is not None and rank(there) >= rank(here) and here not in TOP:
                    problems.append(f"{name}:{n}: {here} must not include {there}: {target}")
        elif name.endswith(("CMakeLists.txt", ".cmake", ".sh")) and top != "tests":
            for n, line in enumerate(text.splitlines(), 1):
                if re.search(r"(SOURCE_DIR\}|ROOT\}|^|\s)/?tests/\S+\.(cpp|py)", line):
                    problems.append(f"{name}:{n}: uses a file of tests/: {line.strip()}")
    for p in problems:
        print(p)
    print(f"layers: {len(problems)} problem(s) in {len(files)} files")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
