"""Reaction latency end to end, on a small and a large day file side by side:
two qarlov.exe -CONSOLE under Wine, each in a prefix of its own, watch a day
file of 1 MB and of 100 MB (WaitBeforeAction 0, a Syslog action to a UDP
listener). 200 matching lines are appended to each, one at a time and
taking turns (the order alternates), each after the datagram of the one
before has arrived; the time from the append to the arrival of its datagram
is measured. Reports p50, p99 and max of each and the ratio of the p99s;
targets: p99 < 100 ms, and the large file's p99 at most 1.5 times the small
file's.

    python3 bench/latency.py [--lines N] [--sizes MB MB] [--debug-output]
"""
import argparse
import contextlib
import datetime
import sys
import time

import benchlib
from benchlib import qh

TARGET_P99 = 0.100
TARGET_RATIO = 1.5


def append_and_wait(av, listener, line, expected, timeout=10):
    """Seconds from the append of line to the arrival of its datagram."""
    start = time.perf_counter()
    av.append(line)
    datagrams = listener.datagrams(timeout=timeout, count=1)
    elapsed = time.perf_counter() - start
    if datagrams != [expected]:
        raise RuntimeError(f"expected {expected!r}, received {datagrams!r}")
    return elapsed


def warm_up(av, listener, run):
    """Appends lines until two have got their datagrams, half a second apart:
    the watcher then waits on its notification (a line appended between its
    first reading and the arming of the notification waits for the next
    change) and Windows Sockets is started. Returns the latency of the first
    datagram, which includes starting Windows Sockets."""
    arrived = []
    for attempt in range(30):
        # The first line waits for the reading of the whole file at start.
        timeout = 120 if attempt == 0 else 2
        line = av.log_line(time=benchlib.NEW_LINES_FROM - datetime.timedelta(minutes=10, seconds=-attempt),
                           computer=f"WARM{attempt:02d}")
        start = time.perf_counter()
        av.append(line)
        if listener.datagrams(timeout=timeout, count=1):
            arrived.append(time.perf_counter() - start)
            if len(arrived) == 2:
                return arrived[0]
            time.sleep(0.5)
        if not run.running():
            raise RuntimeError("qarlov.exe ended:\n" + run.output() + run.stderr())
    raise RuntimeError("no two warm-up datagrams after 30 lines:\n" + run.output())


class Watched:
    """One qarlov.exe -CONSOLE watching a day file of size_mb in a prefix of its own."""

    def __init__(self, stack, size_mb, debug_output):
        self.size_mb = size_mb
        self.prefix = stack.enter_context(qh.WinePrefix())
        self.listener = stack.enter_context(qh.UdpListener())
        self.av = qh.AvStandIn(self.prefix)
        benchlib.write_day_file(self.prefix, self.av.day_file(), size_mb * benchlib.MB)
        qh.configure(self.prefix, rule=dict(wait_before_action=0), debug_output=1 if debug_output else 0,
                     timestamp=benchlib.STORED_POSITION,
                     syslog=dict(facility=16, severity=4, serverip="127.0.0.1", serverport=self.listener.port,
                                 message="%04"))
        self.run = stack.enter_context(qh.start_console(self.prefix, ["-CONSOLE"]))
        self.first = warm_up(self.av, self.listener, self.run)
        self.listener.datagrams(timeout=0.5)  # a late warm-up datagram, if any
        self.latencies = []

    def measure_line(self, number):
        computer = f"LAT{number:04d}"
        line = self.av.log_line(time=benchlib.NEW_LINES_FROM + datetime.timedelta(seconds=number),
                                computer=computer)
        self.latencies.append(append_and_wait(self.av, self.listener, line, b"<132>" + computer.encode()))

    def finish(self):
        """The day file's size at the end and qarlov's exit code after Ctrl-C."""
        final_size = self.av.day_file().stat().st_size
        self.run.send_ctrl("c")
        return final_size, self.run.wait(30)


def measure(lines, sizes, debug_output):
    """The watched files, each with its latencies, final size and exit code."""
    with contextlib.ExitStack() as stack:
        watched = [Watched(stack, size, debug_output) for size in sizes]
        for number in range(lines):
            for one in (watched if number % 2 == 0 else reversed(watched)):
                one.measure_line(number)
        return [(one, *one.finish()) for one in watched]


def report(one, final_size, exit_code):
    """Prints the figures of one file; returns its p99."""
    latencies = one.latencies
    p50, p99 = benchlib.percentile(latencies, 0.50), benchlib.percentile(latencies, 0.99)
    name = f"{one.size_mb} MB"
    print(f"latency: {name:>6}: day file {benchlib.mb(final_size)} at the end, {len(latencies)} lines, "
          f"qarlov exit code {exit_code}, first datagram after start (not counted) {one.first * 1000:.1f} ms")
    print(f"latency: {name:>6}: p50 {p50 * 1000:.1f} ms   p99 {p99 * 1000:.1f} ms   max {max(latencies) * 1000:.1f} ms"
          f"   min {min(latencies) * 1000:.1f} ms   target p99 < {TARGET_P99 * 1000:.0f} ms: "
          f"{'met' if p99 < TARGET_P99 else 'NOT met'}")
    return p99


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=200)
    parser.add_argument("--sizes", type=int, nargs=2, default=[1, 100], metavar="MB",
                        help="the small and the large day file, MB (default 1 100)")
    parser.add_argument("--debug-output", action="store_true", help="run with DebugOutput 1 (default 0)")
    args = parser.parse_args()

    print("latency:", benchlib.machine())
    print(f"latency: DebugOutput {1 if args.debug_output else 0}, lines taking turns, the order alternating")
    small, large = (report(*result) for result in measure(args.lines, args.sizes, args.debug_output))
    ratio = large / small
    print(f"latency: p99 {args.sizes[1]} MB / p99 {args.sizes[0]} MB = {ratio:.2f}; target at most {TARGET_RATIO}: "
          f"{'met' if ratio <= TARGET_RATIO else 'NOT met'}")
    print("latency: load average at the end", " ".join(open("/proc/loadavg").read().split()[:3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
