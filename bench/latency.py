"""Reaction latency end to end: qarlov.exe -CONSOLE under Wine watches a 10 MB
day file (WaitBeforeAction 0, a Syslog action to a UDP listener); 200
matching lines are appended one at a time, each after the datagram of the
one before has arrived, and the time from the append to the arrival of its
datagram is measured. Reports p50, p99 and max; target p99 < 100 ms.

    python3 bench/latency.py [--lines N] [--size MB] [--debug-output]
"""
import argparse
import datetime
import sys
import time

import benchlib
from benchlib import qh

TARGET_P99 = 0.100


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
        line = av.log_line(time=benchlib.NEW_LINES_FROM - datetime.timedelta(minutes=10, seconds=-attempt),
                           computer=f"WARM{attempt:02d}")
        start = time.perf_counter()
        av.append(line)
        if listener.datagrams(timeout=2, count=1):
            arrived.append(time.perf_counter() - start)
            if len(arrived) == 2:
                return arrived[0]
            time.sleep(0.5)
        if not run.running():
            raise RuntimeError("qarlov.exe ended:\n" + run.output() + run.stderr())
    raise RuntimeError("no two warm-up datagrams after 30 lines:\n" + run.output())


def measure(lines, size_mb, debug_output):
    with qh.WinePrefix() as prefix, qh.UdpListener() as listener:
        av = qh.AvStandIn(prefix)
        benchlib.write_day_file(prefix, av.day_file(), size_mb * benchlib.MB)
        qh.configure(prefix, rule=dict(wait_before_action=0), debug_output=1 if debug_output else 0,
                     timestamp=benchlib.STORED_POSITION,
                     syslog=dict(facility=16, severity=4, serverip="127.0.0.1", serverport=listener.port,
                                 message="%04"))
        with qh.start_console(prefix, ["-CONSOLE"]) as run:
            first = warm_up(av, listener, run)
            latencies = []
            for i in range(lines):
                computer = f"LAT{i:04d}"
                line = av.log_line(time=benchlib.NEW_LINES_FROM + datetime.timedelta(seconds=i), computer=computer)
                latencies.append(append_and_wait(av, listener, line, b"<132>" + computer.encode()))
            final_size = av.day_file().stat().st_size
            run.send_ctrl("c")
            exit_code = run.wait(30)
    return first, latencies, final_size, exit_code


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=200)
    parser.add_argument("--size", type=int, default=10, help="day file size in MB (default 10)")
    parser.add_argument("--debug-output", action="store_true", help="run with DebugOutput 1 (default 0)")
    args = parser.parse_args()

    print("latency:", benchlib.machine())
    first, latencies, final_size, exit_code = measure(args.lines, args.size, args.debug_output)
    p50, p99 = benchlib.percentile(latencies, 0.50), benchlib.percentile(latencies, 0.99)
    print(f"latency: day file {benchlib.mb(final_size)} at the end, {len(latencies)} lines, "
          f"DebugOutput {1 if args.debug_output else 0}, qarlov exit code {exit_code}")
    print(f"latency: first datagram after start (not counted) {first * 1000:.1f} ms")
    print(f"latency: p50 {p50 * 1000:.1f} ms   p99 {p99 * 1000:.1f} ms   max {max(latencies) * 1000:.1f} ms   "
          f"min {min(latencies) * 1000:.1f} ms")
    met = p99 < TARGET_P99
    print(f"latency: target p99 < {TARGET_P99 * 1000:.0f} ms: {'met' if met else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
