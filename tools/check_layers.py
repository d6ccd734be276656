#!/usr/bin/env python3
"""Fails when an include is not one of the allowed edges between the folders:

    log  <-  app/core  <-  http  <-  download   <-  ui  <-  app
                       <-  extract ------------------------<-
                       <-  SkinUI  <-  ui
    fetch (the fetch tool): download, http;  pack (the pack tool): extract, download (MD5)

A folder includes itself and the folders its row lists, nothing else: the HTTP layer knows no
attempts or tasks, download and extract stay apart, the toolkit sees only the core and the log.
Tests, tools, benchmarks and fuzz targets sit on top. Nothing outside tests/ uses tests/: no
include of it and no source of it in another folder's build file."""
import pathlib
import re
import subprocess
import sys

BASE = {"log", "app/core"}
ALLOWED = {
    "log": set(),
    "app/core": {"log"},
    "http": BASE,
    "download": BASE | {"http"},
    "extract": BASE,
    "SkinUI": BASE,
    "ui": BASE | {"SkinUI", "download", "http"},
    "app": BASE | {"SkinUI", "ui", "download", "http", "extract"},
    "fetch": BASE | {"download", "http"},
    "pack": BASE | {"extract", "download"},   # the package's MD5, as the updater computes it
}
TOP = ("tests", "tools", "bench", "fuzz")


def folder_of(path):
    """The layer folder a repository path belongs to, or None for files outside the layers."""
    for group in sorted(ALLOWED, key=len, reverse=True):
        if path == group or path.startswith(group + "/"):
            return group
    return None


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
                if there == "tests" and here != "tests":
                    problems.append(f"{name}:{n}: includes test code: {target}")
                elif here not in TOP and there not in TOP and there not in ALLOWED[here]:
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
