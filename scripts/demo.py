#!/usr/bin/env python3
"""Shows QARLOV under Wine: its banner and usage text.

    python3 scripts/demo.py <bin dir>      (scripts/demo builds and calls this)
"""
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
os.environ["QARLOV_BIN_DIR"] = sys.argv[1]
import qarlov_harness as qh  # noqa: E402


def main():
    with qh.WinePrefix() as prefix:
        result = qh.run_console(prefix, [])
    print(result.output, end="")
    print(f"(qarlov.exe exit code {result.exit_code})")
    return 0 if result.exit_code == 1 and "Usage: QARLOV" in result.output else 1


if __name__ == "__main__":
    sys.exit(main())
