"""Parsing speed under Wine: runs bench_parse.exe (see bench/parse_bench.cpp)
in a throw-away copy of the template prefix, so that the scan-position write
of the one new line goes to that prefix's registry.

    python3 bench/parse.py [--reps N] [MEGABYTES...]     default: 1 10 100
"""
import sys

import benchlib
from benchlib import qh


def main():
    print("parse:", benchlib.machine())
    with qh.WinePrefix() as prefix:
        result = prefix.wine([qh.bin_path("bench_parse.exe")] + sys.argv[1:], timeout=1800)
    for line in result.stdout.decode(errors="replace").splitlines():
        print("parse:", line)
    if result.returncode != 0:
        print(result.stderr.decode(errors="replace"), file=sys.stderr)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
