"""Helpers of the reliability tests (test_reliability.py), on top of qarlov_harness.

    LONG                      True when QARLOV_LONG_TESTS=1: the long variants run
    figures(name, **values)   reports the figures of a test: printed to stderr and, when
                              QARLOV_RELIABILITY_RESULTS names a file, appended to it as one
                              JSON line (docs/reliability.md shows them)
    LineSource(av)            day-log lines that carry a unique id in the file-path field
    syslog_id(datagram)       that id back from a datagram whose message is "%07"
    FileLock(prefix, path, ms) qlock.exe holding a file with no sharing (context manager)
    process_figures(prefix, pid) -> dict with handles, private, working set, CPU times (qprocinfo.exe)
    set_key_acl(prefix, key, sddl)  qregacl.exe: the DACL of a key below HKLM (64-bit view)
"""
import datetime
import json
import os
import re
import subprocess
import sys
import threading
import time

import qarlov_harness as qh

LONG = os.environ.get("QARLOV_LONG_TESTS") == "1"
ID_PATTERN = re.compile(rb"\\id(\d{7})\.exe$")


def figures(name, **values):
    record = dict(test=name, **values)
    print(f"\n[figures] {json.dumps(record)}", file=sys.stderr, flush=True)
    results = os.environ.get("QARLOV_RELIABILITY_RESULTS")
    if results:
        with open(results, "a") as out:
            out.write(json.dumps(record) + "\n")


def syslog_id(datagram):
    """The line id of a datagram sent for a line of LineSource (message "%07"), or None."""
    match = ID_PATTERN.search(datagram)
    return int(match.group(1)) if match else None


class LineSource:
    """Matching day-log lines, each with a unique, increasing id in its file path.

    clock="real": each line carries the time it is made, so a fast stream puts several
    lines into one second (their instances count). clock="synthetic": line n carries
    start + n // per_second seconds, independent of the pace."""

    def __init__(self, av, clock="real", start=None, per_second=1):
        self.av = av
        self.clock = clock
        self.start = start or datetime.datetime.combine(datetime.date.today(), datetime.time(0, 0, 1))
        self.per_second = per_second
        self.next_id = 0
        self.times = {}
        self.lock = threading.RLock()

    def _time(self, number):
        if self.clock == "real":
            return datetime.datetime.now().replace(microsecond=0)
        return self.start + datetime.timedelta(seconds=number // self.per_second)

    def make(self, count=1):
        """(ids, text) of count new lines."""
        with self.lock:
            ids = list(range(self.next_id, self.next_id + count))
            self.next_id += count
            for n in ids:
                self.times[n] = self._time(n)
            text = "".join(self.av.log_line(time=self.times[n], path=f"C:\\Users\\alice\\Downloads\\id{n:07d}.exe")
                           for n in ids)
        return ids, text

    def second_of(self, line_id):
        """The time stamp of a line made here."""
        return self.times[line_id]

    def append(self, count=1):
        """Appends count new lines in one write; returns their ids. Threads may share a
        source: the file gets the lines in the order of their ids."""
        with self.lock:
            ids, text = self.make(count)
            self.av.append(text)
        return ids


class FileLock:
    """qlock.exe holding a file open with no sharing for hold_ms milliseconds; entering
    returns once the file is held. .released() waits for the release and returns the
    monotonic time at which it was seen."""

    def __init__(self, prefix, path, hold_ms):
        self.process = subprocess.Popen(["wine", str(qh.bin_path("qlock.exe")), prefix.windows_path(path),
                                         str(hold_ms)], env=prefix.env, cwd=prefix.drive_c,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def __enter__(self):
        line = self.process.stdout.readline()
        if line.strip() != b"locked":
            self.process.kill()
            raise RuntimeError("qlock.exe did not lock: " + self.process.stderr.read().decode(errors="replace"))
        self.locked_at = time.monotonic()
        return self

    def released(self, timeout=30):
        line = self.process.stdout.readline()
        if line.strip() != b"released":
            raise RuntimeError("qlock.exe did not report the release")
        self.process.wait(timeout)
        return time.monotonic()

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(30)
        self.process.stdout.close()
        self.process.stderr.close()


_FIGURE = re.compile(r"(\w[\w-]*)=(\S+)")


def process_figures(prefix, pid):
    """The figures qprocinfo.exe reports of a Windows process: handles, private, workingset,
    peakworkingset, pagefile (bytes), process_user, process_kernel, thread_user, thread_kernel
    (100-ns units), threads, and handles_from, private_from (the sources used)."""
    result = prefix.wine([qh.bin_path("qprocinfo.exe"), str(pid)], timeout=60)
    text = result.stdout.decode(errors="replace")
    if result.returncode != 0:
        raise RuntimeError("qprocinfo.exe: " + result.stderr.decode(errors="replace") + text)
    return {name.replace("-", "_"): int(value) if value.isdigit() else value
            for name, value in _FIGURE.findall(text)}


def set_key_acl(prefix, key, sddl):
    """Replaces the DACL of HKLM\\key (64-bit view) with that of an SDDL string."""
    result = prefix.wine([qh.bin_path("qregacl.exe"), key, sddl], timeout=60)
    if result.returncode != 0:
        raise RuntimeError("qregacl.exe: " + result.stderr.decode(errors="replace"))

