#!/usr/bin/env python3
"""Shows QARLOV doing its job under Wine, from start to stop.

    python3 scripts/demo.py <bin dir>      (scripts/demo builds and calls this)

A throw-away Wine prefix gets a stand-in antivirus installation (its two
registry values and its log folder) and the example configuration
(docs/qarlov-example.reg) with the Syslog and Message actions switched on and
aimed at a syslog receiver on 127.0.0.1. QARLOV runs in console mode while a
few antivirus log lines are appended: one real-time detection among unrelated
lines. The demo prints QARLOV's console lines, what the syslog receiver got
and the scan position in the registry, stops QARLOV with Ctrl-C and removes
everything it made.
"""
import datetime
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE_REG = ROOT / "docs" / "qarlov-example.reg"
QARLOV_KEY = r"HKLM\SOFTWARE\kestu\QARLOV"

def say(text=""):
    print(text, flush=True)


def show_lines(text, indent="    | "):
    for line in text.rstrip("\n").split("\n"):
        say(indent + line)


class TemplatePrefix:
    """A freshly booted Wine prefix for the harness to copy, removed at the end; or the one
    $QARLOV_TEMPLATE_PREFIX names, which is left alone."""

    def __init__(self):
        self.directory = None
        if os.environ.get("QARLOV_TEMPLATE_PREFIX"):
            return
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix="qarlov-demo-"))
        path = self.directory / "template"
        env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
        env.update(WINEPREFIX=str(path), WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=120)
        os.environ["QARLOV_TEMPLATE_PREFIX"] = str(path)

    def remove(self):
        if self.directory is not None:
            shutil.rmtree(self.directory, ignore_errors=True)


def unrelated_line(qh, when, event, category, logger, description):
    """A log line of the antivirus product that is not a detection."""
    fields = [qh.time_field(when), str(event), str(category), str(logger), "WKS-0142", "SYSTEM", "", "",
              "0", "0", "0", "0", "0", f'"{description}"', "0", "0", "0", "", "0", "0", "0", "0",
              "", "", "", "20260412.013", "241501", "0", "0", "0", "0", "", "Default", "10.20.30.40",
              "CORP", "00-1A-2B-3C-4D-5E", "14.3.8289.5000"]
    return ",".join(fields) + "\r\n"


def configure(prefix, port):
    """The example configuration, adjusted for the demo; returns the rule."""
    prefix.import_reg(EXAMPLE_REG, view=64)
    say(f"    imported {EXAMPLE_REG.relative_to(ROOT)}")
    prefix.import_keys({
        QARLOV_KEY: dict(DEBUGOUTPUT=1),
        QARLOV_KEY + r"\Rule": dict(TRIGGERSTRATEGY=0),
        QARLOV_KEY + r"\Rule\Syslog": dict(DISABLED=0, SERVERIP="127.0.0.1", SERVERPORT=port),
        QARLOV_KEY + r"\Rule\Message": dict(DISABLED=0),
        QARLOV_KEY + r"\Rule\Dialog": dict(DISABLED=1),
        QARLOV_KEY + r"\Rule\Execute": dict(DISABLED=1),
    }, view=64)
    say("    adjusted: DEBUGOUTPUT 1, TRIGGERSTRATEGY 0 (log folder), Syslog on and sent to "
        f"127.0.0.1:{port}, Message on, Dialog and Execute off")
    rule = prefix.reg_values(QARLOV_KEY + r"\Rule") or {}
    say(f"    rule: EVENT {rule.get('EVENT')}, CAT {rule.get('CAT')}, LOGGER {rule.get('LOGGER')}")
    return rule


def decode_time_stamp(text):
    try:
        pairs = [int(text[i:i + 2], 16) for i in range(0, 12, 2)]
        return datetime.datetime(pairs[0] + 1970, pairs[1] + 1, *pairs[2:]).strftime("%d.%m.%Y %H:%M:%S")
    except (TypeError, ValueError):
        return "not a valid time"


def new_output(run, seen):
    text = run.output()
    return text[seen:], len(text)


def wait_for_new(run, seen, text, timeout):
    """Waits until output written after position seen contains text."""
    deadline = time.monotonic() + timeout
    while text not in new_output(run, seen)[0] and run.running() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)  # lines that follow at once


def ended_early(run, seen):
    if run.running():
        return False
    rest, _ = new_output(run, seen)
    if rest.strip():
        show_lines(rest)
    say(f"\nQARLOV ended on its own with exit code {run.wait(5)}; the demo stops here.")
    return True


def demo(qh):
    started = time.monotonic()
    say("QARLOV demo: the antivirus log monitor under Wine\n")

    say("1. A throw-away Wine prefix (Windows on Linux)")
    template = TemplatePrefix()
    try:
        return run_demo(qh, started)
    finally:
        template.remove()


def run_demo(qh, started):
    with qh.WinePrefix() as prefix, qh.UdpListener() as receiver:
        say(f"    {prefix.path}   (ready after {time.monotonic() - started:.0f} s)")
        av, rule = prepare(qh, prefix, receiver)
        detected = watch(qh, prefix, av, rule, receiver)
        repeated = detected and restart(qh, prefix, receiver)
        say("\n10. Cleaning up: the Wine prefix, its wineserver and the receiver")
    say(f"\nDone in {time.monotonic() - started:.0f} s.")
    return 0 if detected and not repeated else 1


def prepare(qh, prefix, receiver):
    """Steps 2 to 4: the antivirus stand-in, the receiver, the configuration."""
    say("\n2. A stand-in antivirus installation")
    av = qh.AvStandIn(prefix)
    say(f"    SEPAppDataDir = {av.data_dir}   (HKLM\\SOFTWARE\\Symantec\\Symantec Endpoint Protection\\InstalledApps)")
    say(f"    SAVCE         = {av.bin_dir}   (HKLM\\SOFTWARE\\Symantec\\InstalledApps)")
    earlier = max(datetime.datetime.now().replace(microsecond=0) - datetime.timedelta(minutes=5),
                  datetime.datetime.combine(datetime.date.today(), datetime.time(0, 0, 0)))
    av.append(unrelated_line(qh, earlier, 3, 2, 0, "Scan started on selected drives and folders."))
    say(f"    today's log {prefix.windows_path(av.day_file())} holds one earlier line (a scheduled scan)")
    say(f"\n3. A syslog receiver on 127.0.0.1:{receiver.port} (UDP)")
    say("\n4. The example configuration")
    return av, configure(prefix, receiver.port)


def todays_lines(qh, av, rule):
    """What the antivirus product writes: a detection by the scanner the rule names, with
    its "detection started" line, between unrelated lines."""
    now = datetime.datetime.now().replace(microsecond=0)
    risk, path = "Trojan.Gen.2", "C:\\Users\\alice\\Downloads\\invoice_0412.pdf.exe"
    category, logger = rule.get("CAT"), rule.get("LOGGER")
    return [
        unrelated_line(qh, now, 7, 3, 11, "New virus definition file loaded. Version: 20260412.013."),
        av.log_line(time=now, event=46, category=category, logger=logger, risk=risk, path=path),
        av.log_line(time=now, event=rule.get("EVENT"), category=category, logger=logger, risk=risk, path=path,
                    action11=1),
        unrelated_line(qh, now, 2, 2, 0, "Scan Complete:  Risks: 0   Scanned: 48213   Files/Folders/Drives Omitted: 12"),
    ]


def watch(qh, prefix, av, rule, receiver):
    """Steps 5 to 8: QARLOV handles the new lines, then stops. True when the syslog
    receiver got the detection and QARLOV stopped in order."""
    say("\n5. qarlov -CONSOLE")
    with qh.start_console(prefix, ["-CONSOLE"]) as run:
        ready = run.wait_for("Monitoring directory", timeout=30)
        fresh, seen = new_output(run, 0)
        show_lines(fresh)
        if not ready:
            if not ended_early(run, seen):
                say("\nQARLOV did not report that it watches the log folder within 30 s; the demo stops here.")
            return False

        lines = todays_lines(qh, av, rule)
        say(f"\n6. The antivirus product writes {len(lines)} lines to {av.day_file().name} "
            "(the third is the detection by the real-time scanner)")
        for line in lines:
            text = line.rstrip("\r\n")
            say("    + " + (text if len(text) <= 110 else text[:107] + "..."))
        av.append(lines)

        datagrams = receiver.datagrams(timeout=15, count=1)
        wait_for_new(run, seen, "WARNING", timeout=5)
        say("\n7. What happened")
        say("   QARLOV's console:")
        fresh, seen = new_output(run, seen)
        show_lines(fresh if fresh.strip() else "(nothing new)")
        say(f"   The syslog receiver got {len(datagrams)} datagram(s):")
        for datagram in datagrams:
            say("    | " + datagram.decode("latin-1"))
        show_scan_position(prefix)
        if ended_early(run, seen):
            return False

        say("\n8. Ctrl-C")
        run.send_ctrl("c")
        exit_code = run.wait(15)
        fresh, seen = new_output(run, seen)
        show_lines(fresh if fresh.strip() else "(nothing)")
        say(f"    exit code {exit_code}")
    return bool(datagrams) and exit_code == 0


def show_scan_position(prefix):
    values = prefix.reg_values(QARLOV_KEY) or {}
    stamp = values.get("TIMESTAMP")
    say("   The scan position in HKLM\\SOFTWARE\\kestu\\QARLOV:")
    say(f"    | INSTANCE  = {values.get('INSTANCE')}")
    say(f"    | TIMESTAMP = {stamp}   ({decode_time_stamp(stamp)})")
    say(f"    | FILENAME  = {values.get('FILENAME')}")
    say(f"    | OFFSET    = {values.get('OFFSET')}   (bytes of FILENAME read; the next reading goes on there)")


def restart(qh, prefix, receiver):
    """Starts QARLOV once more: the reading at start passes over the line handled before.
    Returns True when something was repeated."""
    say("\n9. qarlov -CONSOLE once more: at start it reads today's file again")
    with qh.start_console(prefix, ["-CONSOLE"]) as run:
        ready = run.wait_for("Monitoring directory", timeout=30)
        datagrams = receiver.datagrams(timeout=1.5)
        warnings = [line for line in run.output().split("\n") if "WARNING" in line]
        run.send_ctrl("c")
        run.wait(15)
    if not ready:
        show_lines(run.output())
        say("    QARLOV did not start watching again.")
        return True
    if datagrams or warnings:
        say("    repeated:")
        show_lines("\n".join(warnings + [d.decode("latin-1") for d in datagrams]))
        return True
    say("    no warning, no datagram: the scan position tells it the detection was handled")
    return False


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: demo.py <directory of qarlov.exe, qlaunch.exe and qctrl.exe>")
    os.environ["QARLOV_BIN_DIR"] = str(pathlib.Path(sys.argv[1]).resolve())
    sys.path.insert(0, str(ROOT / "tests" / "e2e"))
    import qarlov_harness as qh

    qh.ensure_display()   # for Wine's hidden console windows; the harness's own when DISPLAY is unset
    return demo(qh)


if __name__ == "__main__":
    sys.exit(main())
