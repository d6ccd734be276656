#!/usr/bin/env python3
"""Judges one build flavour's test run against the committed list of what it must show
(tests/expected_tests.txt): the CTest tests that ran (its JUnit file), the GoogleTest report of
each test (one file per CTest test, named after it) and CTest's own exit status.

    test_summary.py FLAVOUR JUNIT_FILE GTEST_REPORT_DIR EXPECTED_LIST CTEST_STATUS

Prints one line "FLAVOUR: P passed, F failed, C cases run", a line per problem, and the counts
"P F" (CTest tests) as the last line for the caller. Exits 0 whenever it could judge the run,
whatever the verdict; any other status means the run could not be judged.

A CTest test fails when CTest did not pass it, when it is listed with a minimum and its report
is missing or unreadable, has a failed case, runs fewer cases than that minimum, or skips a case
that is neither allowed nor run (not skipped) by another test of the same run. Each test the
flavour lists that did not run, and each test that ran but is not listed, counts as failed; so
do a flavour missing from the list and a non-zero CTest status."""
import fnmatch
import pathlib
import sys
import xml.etree.ElementTree as ET


class ListError(Exception):
    pass


def read_list(path, flavour):
    """Returns ({test: minimum or None} or None if the flavour is not listed, [allowed skips])."""
    tests, allowed, section, found = {}, [], None, False
    for number, line in enumerate(pathlib.Path(path).read_text().splitlines(), 1):
        text, _, comment = line.partition("#")
        words = text.split()
        if not words:
            continue
        if len(words) == 1 and words[0].startswith("[") and words[0].endswith("]"):
            section = words[0][1:-1]
            found = found or section == flavour
            continue
        if section == "allowed-skips":
            # An allowed skip without its reason is refused: the list must stay short and argued.
            if len(words) != 1 or not comment.strip():
                raise ListError(f"{path}:{number}: an allowed skip is one pattern and a comment why")
            allowed.append(words[0])
        elif section is None or len(words) != 2 or not (words[1] == "-" or words[1].isdigit()):
            raise ListError(f"{path}:{number}: expected 'TEST MINIMUM' (or '-') under a [flavour]")
        elif section == flavour:
            tests[words[0]] = None if words[1] == "-" else int(words[1])
    return (tests if found else None), allowed


def read_report(path, reasons):
    """Returns {case: 'passed'|'failed'|'skipped'} of one GoogleTest XML report; a skipped
    case's reason (its message's last line) goes to reasons."""
    cases = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        if case.get("status") == "notrun":   # a disabled case: never counted as run
            continue
        name = f"{case.get('classname')}.{case.get('name')}"
        if case.find("failure") is not None or case.find("error") is not None:
            cases[name] = "failed"
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            cases[name] = "skipped"
            skipped = case.find("skipped")
            reasons[name] = (skipped.get("message", "") if skipped is not None else "").splitlines()[-1:]
        else:
            cases[name] = "passed"
    return cases


def judge(flavour, junit, report_dir, expected_list, ctest_status):
    expected, allowed = read_list(expected_list, flavour)
    problems = []   # (test or None, text)
    if expected is None:
        problems.append((None, f"flavour {flavour} is not listed in {expected_list}: it would expect nothing"))
        expected = {}
    if ctest_status != "0":
        problems.append((None, f"ctest exited with status {ctest_status}"))

    ran = {}
    try:
        for case in ET.parse(junit).getroot().iter("testcase"):
            bad = case.find("failure") is not None or case.find("error") is not None
            skipped = case.get("status") in ("notrun", "disabled") or case.find("skipped") is not None
            ran[case.get("name")] = "failed" if bad else "skipped" if skipped else "passed"
    except (OSError, ET.ParseError) as e:
        problems.append((None, f"no readable CTest report {junit}: {e}"))

    reports, reasons = {}, {}
    for name in ran:
        path = pathlib.Path(report_dir) / f"{name}.xml"
        if path.exists():
            try:
                reports[name] = read_report(path, reasons)
            except (OSError, ET.ParseError) as e:
                problems.append((name, f"unreadable GoogleTest report {path.name}: {e}"))
                reports[name] = {}
    ran_elsewhere = {}
    for name, cases in reports.items():
        for case, result in cases.items():
            if result != "skipped":
                ran_elsewhere.setdefault(case, set()).add(name)

    counts, allowed_skips, moved_skips = {}, 0, 0
    for name, result in sorted(ran.items()):
        if result != "passed":
            problems.append((name, f"{result} in CTest"))
        if name not in expected:
            problems.append((name, "ran but is not listed for this flavour (add it with its minimum)"))
        cases = reports.get(name)
        minimum = expected.get(name)
        if cases is None:
            if minimum is not None:
                problems.append((name, "wrote no GoogleTest report"))
            continue
        counts[name] = sum(1 for r in cases.values() if r != "skipped")
        for case, r in sorted(cases.items()):
            if r == "failed":
                problems.append((name, f"case failed: {case}"))
            elif r != "skipped":
                continue
            elif any(fnmatch.fnmatchcase(case, pattern) for pattern in allowed):
                allowed_skips += 1
            elif ran_elsewhere.get(case, set()) - {name}:
                moved_skips += 1
            else:
                because = "".join(f" ({r})" for r in reasons.get(case, []) if r)
                problems.append((name, f"case skipped: {case}{because}"))
        if minimum is not None and counts[name] < minimum:
            problems.append((name, f"ran {counts[name]} cases, fewer than its minimum {minimum}"))
    for name in expected:
        if name not in ran:
            problems.append((name, "expected but did not run"))

    bad_tests = {test for test, _ in problems if test is not None}
    passed = sum(1 for name in ran if name not in bad_tests)
    failed = len(bad_tests) + sum(1 for test, _ in problems if test is None)
    detail = f", {sum(counts.values())} cases run in {len(counts)} GoogleTest reports" if counts else ""
    if allowed_skips or moved_skips:
        detail += f" ({allowed_skips} skipped as allowed, {moved_skips} skipped where another test runs them)"
    print(f"{flavour}: {passed} passed, {failed} failed{detail}")
    for test, text in problems:
        print(f"{flavour}: {test + ': ' if test else ''}{text}")
    print(passed, failed)


def main(argv):
    if len(argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        judge(*argv[1:])
    except (OSError, ListError) as e:
        print(f"{argv[1]}: the run cannot be judged: {e}")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
