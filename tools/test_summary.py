#!/usr/bin/env python3
"""Summarises one build flavour's test run: the test programs CTest ran (from its JUnit file)
against the committed list of what that flavour must run, and the number of test cases the
GoogleTest programs reported (from their XML files).

    test_summary.py FLAVOUR JUNIT_FILE GTEST_XML_DIR EXPECTED_LIST

Prints one line "FLAVOUR: P passed, F failed, C test cases" (plus the missing programs) and
the counts "P F" as the last line for the caller. A program that is expected but did not run
counts as failed."""
import pathlib
import sys
import xml.etree.ElementTree as ET


def expected_programs(path, flavour):
    for line in pathlib.Path(path).read_text().splitlines():
        words = line.split("#", 1)[0].split()
        if words and words[0] == flavour + ":":
            return words[1:]
    return []


def main(flavour, junit, gtest_dir, expected_list):
    ran = {}
    try:
        for case in ET.parse(junit).getroot().iter("testcase"):
            bad = case.find("failure") is not None or case.find("error") is not None
            skipped = case.get("status") in ("notrun", "disabled") or case.find("skipped") is not None
            ran[case.get("name")] = "failed" if bad or skipped else "passed"
    except (OSError, ET.ParseError):
        pass
    missing = [name for name in expected_programs(expected_list, flavour) if name not in ran]
    passed = sum(1 for r in ran.values() if r == "passed")
    failed = sum(1 for r in ran.values() if r == "failed") + len(missing)
    cases = 0
    for xml in sorted(pathlib.Path(gtest_dir).glob("*.xml")):
        try:
            cases += int(ET.parse(xml).getroot().get("tests", "0"))
        except (OSError, ET.ParseError, ValueError):
            print(f"{flavour}: unreadable test report {xml.name}")
            failed += 1
    reports = len(list(pathlib.Path(gtest_dir).glob("*.xml")))
    detail = f", {cases} test cases in {reports} GoogleTest programs" if reports else ""
    print(f"{flavour}: {passed} passed, {failed} failed{detail}")
    for name in missing:
        print(f"{flavour}: expected test program did not run: {name}")
    for name, result in sorted(ran.items()):
        if result == "failed":
            print(f"{flavour}: failed: {name}")
    print(passed, failed)


if __name__ == "__main__":
    main(*sys.argv[1:5])
