#!/usr/bin/env python3
"""Names the tests that failed in a ctest run and why, from its JUnit file (ctest --output-junit):
per test, the lines of its output that report the failure (GoogleTest's failure blocks, a
Python assertion, a sanitizer's summary) or else its last lines. Prints nothing when every test
passed; so a failing step ends with what failed, whatever scrolled by before.

    ctest_failures.py STEP JUNIT.xml...
"""
import re
import sys
import xml.etree.ElementTree as ElementTree

LINES_PER_TEST = 12
# Where a failure is told: GoogleTest ("file:line: Failure"), Python's unittest and tracebacks,
# the sanitizers and libFuzzer, and the scripts' own "FAILED:" lines.
FAILURE_START = re.compile(r": Failure$|^(FAIL|ERROR): |^AssertionError|^Traceback|^SUMMARY: |==ERROR: |^FAILED: ")


def failure_lines(output):
    """The lines that say why a test failed: each failure block, or the last lines."""
    lines = output.rstrip("\n").split("\n")
    picked = []
    for i, line in enumerate(lines):
        if FAILURE_START.search(line):
            picked += lines[i:i + 5]
    return (picked or lines[-6:])[:LINES_PER_TEST]


def main():
    step, files = sys.argv[1], sys.argv[2:]
    failed = []
    for path in files:
        try:
            suite = ElementTree.parse(path).getroot()
        except (OSError, ElementTree.ParseError) as error:
            print("%s: no test results in %s (%s)" % (step, path, error))
            continue
        for case in suite.iter("testcase"):
            if case.get("status") in ("fail", "failed") or case.find("failure") is not None:
                failed.append(case)
    if not failed:
        return 0
    print("%s: the failed tests and why:" % step)
    for case in failed:
        failure = case.find("failure")
        message = failure.get("message", "") if failure is not None else ""
        print("  %s%s" % (case.get("name"), " (%s)" % message if message else ""))
        output = case.findtext("system-out") or ""
        for line in failure_lines(output):
            print("      " + line[:200])
    print("%s: %d tests failed" % (step, len(failed)))
    return 1


if __name__ == "__main__":
    sys.exit(main())
