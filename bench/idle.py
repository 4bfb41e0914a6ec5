"""Idle cost: the CPU time qarlov.exe -CONSOLE (log-file trigger) uses over 60
idle seconds, its working set while idle, and its working set while it reads
100 MB appended to the day file; side by side with two programs that only
wait (started the same way, with a hidden console): a trivial one, and one
that has loaded the DLLs qarlov.exe imports. Under Wine a process's resident size includes
Wine's own code, so the figures are shown raw and as QARLOV's share above
the baselines.

    python3 bench/idle.py [--seconds N] [--read-size MB]

Two views of each process: Linux (/proc/<pid>: the scheduler's nanosecond
CPU counters of all threads, the clock-tick counters of stat, VmRSS and
VmHWM of status) and Windows (qprocinfo.exe: GetProcessTimes, the sum
of GetThreadTimes over the threads, GetProcessMemoryInfo).
Targets: idle CPU < 50 ms in 60 s; idle working set < 10 MB; peak working
set while reading at most the idle working set + 8 MB (the reader keeps a
piece of 1 MB, not the file, in memory)."""
import argparse
import sys
import threading
import time

import benchlib
from benchlib import mb, qh

TARGET_IDLE_CPU = 0.050
TARGET_IDLE_SET = 10 * benchlib.MB
READING_ALLOWANCE = 8 * benchlib.MB
INITIAL_DAY_FILE = 1 * benchlib.MB
READ_LINE_COMPUTER = "READING"  # the new line after the large append; its datagram


class Program:
    """A running program with its Windows and Linux process ids."""

    def __init__(self, label, run, command_tail, prefix):
        self.label = label
        self.run = run
        self.prefix = prefix
        self.windows_pid = run.pid
        self.linux_pid = qh.linux_pid(prefix, command_tail)

    def sample(self):
        return dict(linux=benchlib.linux_view(self.linux_pid),
                    windows=benchlib.windows_view(self.prefix, self.windows_pid))


def cpu_used(before, after):
    """CPU seconds between two samples in the four views."""
    lb, la, wb, wa = before["linux"], after["linux"], before["windows"], after["windows"]
    return dict(schedstat=la["cpu"] - lb["cpu"], stat=la["stat_cpu"] - lb["stat_cpu"],
                threads=(wa.get("thread_user", 0) + wa.get("thread_kernel", 0) - wb.get("thread_user", 0)
                         - wb.get("thread_kernel", 0)) / 1e7,
                process=(wa.get("process_user", 0) + wa.get("process_kernel", 0) - wb.get("process_user", 0)
                         - wb.get("process_kernel", 0)) / 1e7)


class RssSampler(threading.Thread):
    """The largest VmRSS of a Linux process, polled every few milliseconds."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            try:
                for line in open(f"/proc/{self.pid}/status"):
                    if line.startswith("VmRSS:"):
                        self.peak = max(self.peak, int(line.split()[1]) * 1024)
                        break
            except OSError:
                return
            time.sleep(0.002)

    def stop(self):
        self.stopping.set()
        self.join(5)
        return self.peak


BASELINES = (("baseline: waits only", []),
             ("baseline: + QARLOV's DLLs loaded", ["--load-dlls"]))


def start_program(prefix, runs, label, args, ready_text, program=None, exe_name="qarlov.exe"):
    run = qh.start_console(prefix, args, program=program)
    runs.append(run)
    if not run.wait_for(ready_text, 60):
        raise RuntimeError(f"{label} did not start:\n" + run.output() + run.stderr())
    return Program(label, run, " ".join([exe_name] + args), prefix)


def start_programs(prefix, listener):
    """qarlov.exe -CONSOLE and the baselines, each settled; returns the stand-in,
    the runs to end, and the programs (QARLOV first)."""
    av = qh.AvStandIn(prefix)
    benchlib.write_day_file(prefix, av.day_file(), INITIAL_DAY_FILE)
    qh.configure(prefix, rule=dict(wait_before_action=0), debug_output=1, timestamp=benchlib.STORED_POSITION,
                 syslog=dict(facility=16, severity=4, serverip="127.0.0.1", serverport=listener.port,
                             message="%04"))
    runs = []
    programs = [start_program(prefix, runs, "qarlov.exe -CONSOLE", ["-CONSOLE"], benchlib.MONITORING)]
    idle_exe = prefix.windows_path(qh.bin_path("bench_idle.exe"))
    for label, args in BASELINES:
        programs.append(start_program(prefix, runs, label, args, "waiting", idle_exe, "bench_idle.exe"))
    return av, runs, programs


def report_idle(programs, before, after, seconds):
    print(f"idle: CPU time used in {seconds:.0f} idle seconds (ms)")
    print(f"  {'':42} {'Linux sched':>12} {'Linux stat':>11} {'Win threads':>12} {'Win process':>12}")
    used = {}
    for program in programs:
        cpu = cpu_used(before[program.label], after[program.label])
        used[program.label] = cpu
        print(f"  {program.label:42} {cpu['schedstat'] * 1000:12.2f} {cpu['stat'] * 1000:11.0f} "
              f"{cpu['threads'] * 1000:12.0f} {cpu['process'] * 1000:12.0f}")
    print(f"idle: memory while idle")
    print(f"  {'':42} {'VmRSS':>9} {'RssAnon':>9} {'RssFile':>9} {'private':>9} {'Win WS':>9} {'Win pagefile':>12} "
          f"{'threads':>8}")
    for program in programs:
        linux, windows = after[program.label]["linux"], after[program.label]["windows"]
        print(f"  {program.label:42} {mb(linux['rss']):>9} {mb(linux['rss_anon']):>9} {mb(linux['rss_file']):>9} "
              f"{mb(linux['private']):>9} "
              f"{mb(windows.get('workingset', 0)):>9} {mb(windows.get('pagefile', 0)):>12} "
              f"{linux['threads']:>8}")
    return used


def lines_to_read(prefix, av, read_size):
    """read_size bytes of generated lines that fail the rule, then one new
    matching line. The reading resumes at the stored offset, where every
    line is new whatever its time stamp, so the generated lines of the rule
    (event 51) become event 52: only the last line runs the action."""
    big = prefix.work / "big-day.log"
    benchlib.write_day_file(prefix, big, read_size)
    content = big.read_bytes().replace(b",51,1,2,", b",52,1,2,")
    big.unlink()
    return content + av.log_line(time=benchlib.NEW_LINES_FROM, computer=READ_LINE_COMPUTER).encode()


def measure_reading(prefix, av, listener, qarlov, read_size):
    """Appends read_size bytes of lines that fail the rule and one new line in
    one write and waits for the new line's datagram; returns the peak figures."""
    content = lines_to_read(prefix, av, read_size)
    listener.datagrams(timeout=0.2)
    sampler = RssSampler(qarlov.linux_pid)
    sampler.start()
    before = qarlov.sample()
    start = time.perf_counter()
    av.append(content)
    datagrams = listener.datagrams(timeout=120, count=1)
    elapsed = time.perf_counter() - start
    peak_sampled = sampler.stop()
    after = qarlov.sample()
    if datagrams != [b"<132>" + READ_LINE_COMPUTER.encode()]:
        raise RuntimeError(f"not the one datagram of the new line but {datagrams[:3]!r}:\n" + qarlov.run.output())
    return dict(file_size=av.day_file().stat().st_size, elapsed=elapsed, peak_sampled=peak_sampled,
                hwm=after["linux"]["hwm"], peak_working_set=after["windows"].get("peakworkingset", 0),
                cpu=cpu_used(before, after))


def verdict(met):
    return "met" if met else "NOT met"


def summarise_idle(programs, after, used, seconds):
    """The targets of the idle phase, with QARLOV's share taken apart along
    the baselines: Wine's own code, the DLLs it imports, and what remains:
    QARLOV's own."""
    qarlov, trivial, dlls = programs
    cpu = used[qarlov.label]
    print(f"idle: QARLOV used {cpu['schedstat'] * 1000:.2f} ms CPU in {seconds:.0f} s (Linux scheduler; "
          f"Windows thread times {cpu['threads'] * 1000:.0f} ms); target < {TARGET_IDLE_CPU * 1000:.0f} ms: "
          f"{verdict(max(cpu['schedstat'], cpu['threads']) < TARGET_IDLE_CPU)}")
    sets = {p.label: after[p.label]["windows"].get("workingset", 0) for p in programs}
    raw = sets[qarlov.label]
    print(f"idle: working set {mb(raw)} raw, target < {mb(TARGET_IDLE_SET)}: {verdict(raw < TARGET_IDLE_SET)}")
    print(f"idle:   Wine's own (the waiting program)         {mb(sets[trivial.label])}")
    print(f"idle:   + the DLLs QARLOV imports                {mb(sets[dlls.label] - sets[trivial.label])}")
    print(f"idle:   + QARLOV's own                           {mb(raw - sets[dlls.label])}")
    share = raw - sets[trivial.label]
    print(f"idle: above the waiting program {mb(share)}: {verdict(share < TARGET_IDLE_SET)}; "
          f"unshared pages {mb(after[qarlov.label]['linux']['private'])} "
          f"(waiting program {mb(after[trivial.label]['linux']['private'])})")
    return raw


def summarise_reading(reading, idle_set):
    limit = idle_set + READING_ALLOWANCE
    peak = max(reading["peak_working_set"], reading["hwm"], reading["peak_sampled"])
    cpu = reading["cpu"]
    print(f"reading: day file {mb(reading['file_size'])} read and parsed, the new line's datagram after "
          f"{reading['elapsed'] * 1000:.0f} ms; CPU {cpu['schedstat'] * 1000:.0f} ms (Linux scheduler), "
          f"{cpu['stat'] * 1000:.0f} ms (Linux stat), {cpu['threads'] * 1000:.0f} ms (Windows thread times), "
          f"{cpu['process'] * 1000:.0f} ms (GetProcessTimes)")
    print(f"reading: peak working set {mb(reading['peak_working_set'])} (Windows view), VmHWM {mb(reading['hwm'])}, "
          f"largest sampled VmRSS {mb(reading['peak_sampled'])}")
    print(f"reading: target at most the idle working set + 8 MB = {mb(limit)}: peak {mb(peak)} "
          f"(+{mb(peak - idle_set)}) {verdict(peak <= limit)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--read-size", type=int, default=100, help="size of the file read, MB (default 100)")
    args = parser.parse_args()
    print("idle:", benchlib.machine())

    with qh.WinePrefix() as prefix, qh.UdpListener() as listener:
        av, runs, programs = start_programs(prefix, listener)
        try:
            time.sleep(5)  # let start-up work and the consoles settle
            before = {p.label: p.sample() for p in programs}
            time.sleep(args.seconds)
            after = {p.label: p.sample() for p in programs}
            used = report_idle(programs, before, after, args.seconds)
            reading = measure_reading(prefix, av, listener, programs[0], args.read_size * benchlib.MB)
        finally:
            for run in runs:
                run.__exit__(None, None, None)
    idle_set = summarise_idle(programs, after, used, args.seconds)
    summarise_reading(reading, idle_set)
    return 0


if __name__ == "__main__":
    sys.exit(main())
