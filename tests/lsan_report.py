"""Reads LeakSanitizer logs; fails on a leak whose allocation passed through tavlo's own code.

The interpreter leaks some objects of its own at exit by design; those are counted, not failed.
Other sanitizer reports in the logs are shown; the processes they ended fail their own tests.
Usage: python tests/lsan_report.py LOG_DIR
"""

import glob
import os
import re
import sys

OURS = re.compile(r"tavlo\.cpython|/src/(?:errors|faidx|lib|sequence)/")


def main(directory):
    paths = sorted(glob.glob(os.path.join(directory, "log.*")))
    ours = theirs = 0
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            print(f"{path}: a sanitizer report other than leaks:\n{text.strip()[:3000]}\n")
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
            if not re.match(r"(?:Direct|Indirect) leak of ", block):
                continue
            if OURS.search(block):
                ours += 1
                print(block.strip(), end="\n\n")
            else:
                theirs += 1
    print(f"LeakSanitizer: {ours} leak(s) through tavlo code, {theirs} of the interpreter's own "
          f"(ignored), in {len(paths)} log(s)")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
