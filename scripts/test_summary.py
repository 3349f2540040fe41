#!/usr/bin/env python3
"""Counts the tests of one or more ctest runs from their JUnit files and
prints each skip with its reason, so that a skip is seen, never taken for a
pass. The last line is 'N passed, N failed, N skipped'.

    test_summary.py RUN_NAME=JUNIT.xml ...
"""
import re
import sys
import xml.etree.ElementTree as ET

# Where the reason stands in a skipped test's output: GoogleTest's
# "file:line: Skipped" and the line after it, the launchers' and the
# scripts' own words.
REASON = re.compile(r'(cannot run 32-bit programs here.*|SKIPPED: .*|left out \(.*)')


def reason(output):
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if line.rstrip().endswith(': Skipped') and i + 1 < len(lines) and lines[i + 1].strip():
            return lines[i + 1].strip()
        m = REASON.search(line)
        if m:
            return m.group(1).strip()
    return 'no reason given'


def main(argv):
    passed = failed = 0
    skips = []
    for arg in argv[1:]:
        run, _, path = arg.partition('=')
        try:
            cases = ET.parse(path).getroot().iter('testcase')
        except (OSError, ET.ParseError) as e:
            print('%s: no results (%s)' % (run, e))
            failed += 1
            continue
        for case in cases:
            name = case.get('name')
            out = case.findtext('system-out') or ''
            if case.find('skipped') is not None or case.get('status') in ('notrun', 'disabled'):
                skips.append('%s %s: %s' % (run, name, reason(out)))
            elif case.find('failure') is not None or case.find('error') is not None:
                failed += 1
            else:
                passed += 1
    print('== skipped: %d' % len(skips))
    for s in skips:
        print('  ' + s)
    print('%d passed, %d failed, %d skipped' % (passed, failed, len(skips)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
