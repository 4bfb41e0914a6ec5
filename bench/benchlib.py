"""Shared pieces of the end-to-end benchmarks (latency.py, idle.py, parse.py).

They drive the built programs under Wine through the end-to-end harness
(tests/e2e/qarlov_harness.py): QARLOV_BIN_DIR names the build's bin directory,
DISPLAY an X display (the harness starts an Xvfb of its own when unset), and
QARLOV_TEMPLATE_PREFIX a booted prefix to copy (the harness boots and caches
one when unset)."""
import datetime
import math
import os
import pathlib
import platform
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import qarlov_harness as qh  # noqa: E402
import reliability_support as rs  # noqa: E402

# The generated day files (bench/daylog.h): every line is of 17 May 2023
# before 23:00:00, the scan position stands at 23:00:00, so every line is
# old; new lines get times from 23:30:00 on.
STORED_POSITION = "350411170000"
NEW_LINES_FROM = datetime.datetime(2023, 5, 17, 23, 30, 0)
MONITORING = "  Monitoring directory "
MB = 1024 * 1024


def machine():
    """One line naming the machine and the moment, for the figures."""
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    return (f"{datetime.datetime.now():%Y-%m-%d %H:%M}, {os.cpu_count()} CPUs ({model}), "
            f"{platform.system()} {platform.release()}, {wine}, load average {load}")


def write_day_file(prefix, path, size):
    """A generated day file of about size bytes of old lines at path (see bench/daylog.h)."""
    args = [qh.bin_path("bench_daylog.exe"), prefix.windows_path(path), str(size)]
    result = prefix.wine(args, timeout=300)
    if result.returncode != 0:
        raise RuntimeError("bench_daylog.exe failed: " + result.stderr.decode(errors="replace"))


def percentile(values, fraction):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def linux_view(pid):
    """CPU time (seconds, from the scheduler's nanosecond counters of every
    thread, and from /proc/<pid>/stat in clock ticks) and memory (bytes) of a
    Linux process: resident size, its anonymous and file-backed parts, and
    the pages no other process shares (private)."""
    cpu_ns = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            cpu_ns += int(open(f"/proc/{pid}/task/{task}/schedstat").read().split()[0])
        except (OSError, ValueError):
            pass
    stat = open(f"/proc/{pid}/stat").read().rpartition(")")[2].split()
    ticks = os.sysconf("SC_CLK_TCK")
    status = _kilobyte_fields(f"/proc/{pid}/status")
    rollup = _kilobyte_fields(f"/proc/{pid}/smaps_rollup")
    return dict(cpu=cpu_ns / 1e9, stat_cpu=(int(stat[11]) + int(stat[12])) / ticks,
                rss=status.get("VmRSS", 0), hwm=status.get("VmHWM", 0), rss_anon=status.get("RssAnon", 0),
                rss_file=status.get("RssFile", 0),
                private=rollup.get("Private_Clean", 0) + rollup.get("Private_Dirty", 0),
                threads=len(os.listdir(f"/proc/{pid}/task")))


def _kilobyte_fields(path):
    """The "Name: N kB" lines of a /proc file, in bytes."""
    fields = {}
    for line in open(path):
        name, _, value = line.partition(":")
        if value.strip().endswith("kB"):
            fields[name] = int(value.split()[0]) * 1024
    return fields


def windows_view(prefix, windows_pid):
    """What qprocinfo.exe reports about the process (see tests/harness/qprocinfo.c)."""
    return rs.process_figures(prefix, windows_pid)


def mb(size):
    return f"{size / MB:.2f} MB"
