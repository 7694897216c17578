"""Checks the report files the sanitizers wrote (one per process) during a test
run against the AddressSanitizer module.

The interpreter and NumPy are not instrumented and leave memory behind at
exit, so leak reports are expected. A leak fails the run only when its
allocation stack passes through the project's code; any other sanitizer
error fails it always. Prints what fails, and a count of what was ignored.

Usage: python tools/sanitizer_reports.py REPORT_DIR
"""
import pathlib
import re
import sys

PROJECT_FRAME = re.compile(r"^\s*#\d+ .*trelvane", re.MULTILINE)
LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of ", re.MULTILINE)


def leak_blocks(text):
    """The leak reports of one file: a header line and its stack each."""
    starts = [m.start() for m in LEAK_HEADER.finditer(text)]
    return [text[a:b].split("\n\n")[0] for a, b in zip(starts, starts[1:] + [len(text)])]


def main(report_dir):
    failures, ignored = [], 0
    for path in sorted(pathlib.Path(report_dir).glob("*")):
        text = path.read_text(errors="replace")
        errors = [line for line in text.splitlines() if "ERROR:" in line and "LeakSanitizer" not in line]
        if errors:
            failures.append(f"{path.name}:\n{text}")
            continue
        for block in leak_blocks(text):
            if PROJECT_FRAME.search(block):
                failures.append(f"{path.name}:\n{block}")
            else:
                ignored += 1
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"sanitizer reports: {len(failures)} failing, {ignored} leak reports outside the project ignored")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
