"""The four actions end to end: qarlov.exe -CONSOLE watches a stand-in
antivirus day file, and one new matching line runs Dialog, Syslog, Execute and
Message in that order. A real rsyslog on loopback receives the datagram with
the configured facility and severity, a raw UDP listener sees its exact
bytes, the external program (qrecord.exe) records the command line it was
given (the program path below the antivirus folder quoted, in the console
user's environment), the Message action prints its WARNING line with the
line's values, and the dialog reports that Wine's message box refuses. An
invalid syslog address is reported and nothing is sent."""
import datetime
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import e2e_support as es
import qarlov_harness as qh

DIALOG_REFUSED = "  WARNING  Error displaying a message box. Message might not have been seen by user."
INVALID_ADDRESS = "  WARNING  Invalid IP address specified for Syslog message."
SEP_BIN = "C:\\Program Files (x86)\\Symantec\\SEP\\"


class Rsyslog:
    """rsyslogd in the foreground with a configuration of its own: a UDP and a
    TCP input on free loopback ports; every UDP datagram written to one file
    as facility, severity and the raw message, and every message to another
    as the properties rsyslog parsed from it. It runs in UTC."""

    PARSED = ("HOST=%HOSTNAME%|APP=%APP-NAME%|PROCID=%PROCID%|MSGID=%MSGID%|"
              "TIME=%timereported:::date-rfc3339%|SD=%STRUCTURED-DATA%|MSG=%msg%\\n")

    def __init__(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="qarlov-rsyslog-"))
        (self.dir / "work").mkdir()
        self.port = es.free_udp_port()
        self.tcp_port = free_tcp_port()
        self.received_file = self.dir / "received.log"
        self.parsed_file = self.dir / "parsed.log"
        self.config = self.dir / "rsyslog.conf"
        self.config.write_text(
            f'global(workDirectory="{self.dir / "work"}")\n'
            'module(load="imudp")\n'
            f'input(type="imudp" address="127.0.0.1" port="{self.port}")\n'
            'module(load="imtcp")\n'
            f'input(type="imtcp" address="127.0.0.1" port="{self.tcp_port}")\n'
            'template(name="fields" type="string" string="%syslogfacility%|%syslogseverity%|%rawmsg%\\n")\n'
            f'template(name="parsed" type="string" string="{self.PARSED}")\n'
            f'if $inputname == "imudp" then action(type="omfile" file="{self.received_file}" template="fields")\n'
            f'action(type="omfile" file="{self.parsed_file}" template="parsed")\n')
        self.stderr = open(self.dir / "stderr", "ab")
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["rsyslogd", "-n", "-f", str(self.config), "-i", str(self.dir / "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=self.stderr, stderr=self.stderr, env=dict(os.environ, TZ="UTC"))
        if not self._answers_probe():
            self.stop()
            raise RuntimeError("rsyslogd did not start: " + (self.dir / "stderr").read_text(errors="replace"))

    def _answers_probe(self):
        """Sends probes until one more shows in the output file."""
        probes = sum(1 for line in self.lines() if "<13>probe" in line)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            def arrived():
                sender.sendto(b"<13>probe", ("127.0.0.1", self.port))
                time.sleep(0.1)
                return sum(1 for line in self.lines() if "<13>probe" in line) > probes
            return qh.wait_until(lambda: self.process.poll() is None and arrived(), 10)

    def lines(self):
        try:
            return self.received_file.read_text(encoding="latin-1").splitlines()
        except FileNotFoundError:
            return []

    def messages(self):
        """(facility, severity, raw message) of every datagram but the probes."""
        entries = []
        for line in self.lines():
            facility, severity, raw = line.split("|", 2)
            if raw != "<13>probe":
                entries.append((int(facility), int(severity), raw))
        return entries

    def parsed(self):
        """{property: value} of every message from QARLOV, as rsyslog parsed it."""
        try:
            lines = self.parsed_file.read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            return []
        records = [dict(field.split("=", 1) for field in line.split("|", 6)) for line in lines]
        return [record for record in records if record["APP"] == "QARLOV"]

    def stop_process(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)

    def stop(self):
        self.stop_process()
        self.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ActionsTest(es.MonitorTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The external program lives below the antivirus folder, whose name
        # has blanks; C:\Program.exe is what Windows would start for the
        # unquoted path. It is a program that records nothing.
        sep_bin = cls.prefix.linux_path(cls.av.bin_dir)
        sep_bin.mkdir(parents=True, exist_ok=True)
        shutil.copy(qh.bin_path("qrecord.exe"), sep_bin / "qrecord.exe")
        shutil.copy(qh.bin_path("qctrl.exe"), cls.prefix.drive_c / "Program.exe")
        # qrecord.exe writes where QRECORD_FILE of its own environment says.
        # QARLOV's own environment names one file; the console user's
        # environment, changed after QARLOV has started, another.
        cls.user_record = cls.prefix.drive_c / "user-record.log"
        cls.own_record = cls.prefix.drive_c / "qarlov-record.log"

    def setUp(self):
        super().setUp()
        self.prefix.reg_delete(r"HKCU\Environment", "QRECORD_FILE")
        for path in (self.user_record, self.own_record):
            if path.exists():
                path.unlink()
        now = datetime.datetime.now().replace(microsecond=0)
        self.stored = now - datetime.timedelta(minutes=10)
        self.old_line = self.av.log_line(time=now - datetime.timedelta(minutes=20), computer="OLD-PC")
        self.new_time = now
        self.av.append([self.old_line, self.av.log_line(time=now, event=5, computer="OTHER-PC")])

    def records(self):
        try:
            return self.user_record.read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            return []

    def configure(self, **actions):
        qh.configure(self.prefix, timestamp=qh.time_field(self.stored), **actions)

    def run_for_one_new_line(self, expected_text, **line_fields):
        """Starts the watcher, appends one new matching line, waits until
        expected_text is printed, stops with Ctrl-C; returns the output."""
        return self.run_for_new_lines(expected_text, [self.av.log_line(time=self.new_time, **line_fields)])

    def run_for_new_lines(self, expected_text, lines, program=None, env_extra=None):
        """run_for_one_new_line for several lines appended at once, with
        qarlov.exe or program (a Windows path) and more environment."""
        run = self.start(program=program, env_extra=dict(
            env_extra or {}, QRECORD_FILE=self.prefix.windows_path(self.own_record)))
        self.prefix.reg_add(r"HKCU\Environment", "QRECORD_FILE", "REG_SZ",
                            self.prefix.windows_path(self.user_record))
        self.av.append(lines)
        self.assertTrue(run.wait_for(expected_text, 15), run.output())
        time.sleep(0.3)
        return self.stop(run)

    def test_one_new_line_runs_all_four_actions_in_order(self):
        rsyslog = Rsyslog()
        self.addCleanup(rsyslog.stop)
        self.configure(
            dialog=dict(title="QARLOV %01", message="%06 on %04", waitfordialog=0, waitinsecs=10),
            syslog=dict(facility=16, severity=4, serverip="127.0.0.1", serverport=rsyslog.port,
                        message="%04 found %06 (%01/%02/%03) 100%"),
            execute=dict(commandline='qrecord.exe %01 "%05" %08', waitforprogram=1, waitinsecs=10000,
                         usesepbinpath=1, hidewindow=1),
            message=dict(message="Risk %06 on %04 for %05 at %00, event %01 action %08 %s"))
        time_text = self.new_time.strftime("%d.%m.%Y %H:%M:%S")
        message_line = (f"  WARNING  Risk EICAR Test String on WKS-0142 for alice at {time_text}, "
                        "event 51 action 1 %s")

        output = self.run_for_one_new_line(message_line)

        command_line = f'"{SEP_BIN}qrecord.exe" 51 "alice" 1'
        self.assert_in_order(output, DIALOG_REFUSED, f"  Executing external program [{command_line}].\n",
                             message_line)
        self.assertEqual(1, output.count(message_line), output)
        self.assertNotIn("OLD-PC", output)
        self.assertNotIn("OTHER-PC", output)
        # Waited for, so the record is there already.
        self.assertEqual([command_line], self.records())
        self.assertFalse(self.own_record.exists(), "the program got QARLOV's own environment")
        self.assertTrue(qh.wait_until(rsyslog.messages, 5))
        self.assertEqual([(16, 4, "<132>WKS-0142 found EICAR Test String (51/1/2) 100%")], rsyslog.messages())

    def test_the_datagram_is_exactly_priority_and_message(self):
        # Wine takes a process's code pages from its locale. The log is read
        # and the datagram sent in the ANSI code page; the redirected console
        # writes in the console's (OEM) code page; the program gets the path.
        cases = [
            ("en_US.UTF-8", "cp1252", "cp437", "C:\\Temp\\caf\u00e9 1.exe"),
            ("ru_RU.UTF-8", "cp1251", "cp866", "C:\\\u0432\u0438\u0440\u0443\u0441\\\u0444\u0430\u0439\u043b.exe"),
            # 0x5C, the backslash, is the second byte of U+8868.
            ("ja_JP.UTF-8", "cp932", "cp932", "C:\\\u8868\\\u30a6\u30a4\u30eb\u30b9.exe"),
        ]
        for locale, ansi, console, path in cases:
            with self.subTest(locale=locale), qh.UdpListener() as listener:
                self.setUp()  # each locale starts afresh
                self.configure(
                    syslog=dict(facility=16, severity=6, serverip="127.0.0.1", serverport=65536 + listener.port,
                                message="%01|%07|%08|\u20ac"),
                    execute=dict(commandline='qrecord.exe --argv "%07"', waitforprogram=1, waitinsecs=10000,
                                 usesepbinpath=1, hidewindow=1),
                    message=dict(message="sent %07"))
                log_bytes = path.encode(ansi)
                self.run_for_new_lines(
                    "  WARNING  sent " + path.encode(console).decode("latin-1"),
                    [self.av.log_line(time=self.new_time, path=log_bytes.decode("latin-1")).encode("latin-1")],
                    env_extra={"LC_ALL": locale})
                # The configured euro sign in the code page, "?" where it has none (932).
                euro = "\u20ac".encode(ansi, errors="replace")
                self.assertEqual([b"<134>51|" + log_bytes + b"|1|" + euro], listener.datagrams(timeout=2))
                self.assertEqual(["ARGV\x1f--argv\x1f" + path], self.records()[1:])

    def test_an_invalid_syslog_address_is_reported_and_nothing_is_sent(self):
        with qh.UdpListener() as listener:
            self.configure(
                syslog=dict(facility=1, severity=1, serverip="255.255.255.255", serverport=listener.port,
                            message="%04"),
                message=dict(message="after syslog"))
            output = self.run_for_one_new_line("  WARNING  after syslog")
            self.assert_in_order(output, INVALID_ADDRESS, "  WARNING  after syslog")
            self.assertEqual([], listener.datagrams(timeout=1))

    def run_configured_command_line(self, command_line):
        self.configure(
            execute=dict(commandline=command_line, waitforprogram=1, waitinsecs=10000, usesepbinpath=0,
                         hidewindow=1),
            message=dict(message="after execute"))
        return self.run_for_one_new_line("  WARNING  after execute")

    def test_without_sep_bin_path_an_unquoted_command_line_is_passed_as_configured(self):
        # The system then takes C:\Program.exe: the trap of the quoting test
        # above is real.
        output = self.run_configured_command_line(f"{SEP_BIN}qrecord.exe %01")
        self.assertIn(f"  Executing external program [{SEP_BIN}qrecord.exe 51].\n", output)
        self.assertEqual([], self.records())

    def test_without_sep_bin_path_a_quoted_command_line_is_passed_as_configured(self):
        self.run_configured_command_line(f'"{SEP_BIN}qrecord.exe" %01')
        self.assertEqual([f'"{SEP_BIN}qrecord.exe" 51'], self.records())

    def test_values_too_long_for_the_texts_neither_stop_the_program_nor_hold_up_the_next_line(self):
        # The parser keeps 8191 characters of the 20,000; "%07 %07" passes the limit.
        long_path = "C:\\" + "x" * 20000
        next_path = "C:\\Users\\alice\\Downloads\\eicar.com"
        with qh.UdpListener() as listener:
            self.configure(
                syslog=dict(facility=16, severity=6, serverip="127.0.0.1", serverport=listener.port,
                            message="%04 %07 %07"),
                execute=dict(commandline='qrecord.exe "%07" "%07"', waitforprogram=1, waitinsecs=10000,
                             usesepbinpath=1, hidewindow=1),
                message=dict(message="done %04"))
            output = self.run_for_new_lines("  WARNING  done NEXT-PC\n", [
                self.av.log_line(time=self.new_time, computer="LONG-PC", path=long_path),
                self.av.log_line(time=self.new_time, computer="NEXT-PC", path=next_path)])
            datagrams = listener.datagrams(timeout=5, count=2)

        self.assertNotIn("  ERROR  ", output)
        self.assert_in_order(
            output,
            "  WARNING  The text of the Syslog action was cut to 8191 characters: the log line's values don't fit.\n",
            "  WARNING  The command line of the Execute action would pass 8191 characters with the log line's values. "
            "The program is not started.\n",
            "  WARNING  done LONG-PC\n", "  WARNING  done NEXT-PC\n")
        self.assertEqual(2, len(datagrams), [d[:40] for d in datagrams])
        self.assertEqual(8191, len(datagrams[0]))
        self.assertTrue(datagrams[0].startswith(b"<134>LONG-PC C:\\xxx"), datagrams[0][:40])
        self.assertEqual(f"<134>NEXT-PC {next_path} {next_path}".encode("latin-1"), datagrams[1])
        self.assertEqual([f'"{SEP_BIN}qrecord.exe" "{next_path}" "{next_path}"'], self.records())
        values = self.prefix.reg_values(qh.QARLOV_KEY)
        self.assertEqual((1, qh.time_field(self.new_time)), (values["INSTANCE"], values["TIMESTAMP"]))

    def test_a_hostile_value_reaches_the_program_as_one_argument(self):
        hostile = 'C:\\Temp\\say "hi" & echo pwned > x %PATH% \\\\"q \xdcn\xefc\xf6d\xe9\\'
        self.configure(
            execute=dict(commandline='qrecord.exe --argv /file "%07" %04', waitforprogram=1, waitinsecs=10000,
                         usesepbinpath=1, hidewindow=1),
            message=dict(message="after execute"))
        self.run_for_one_new_line("  WARNING  after execute", computer="PC 01", path=hostile)
        records = self.records()
        self.assertEqual(2, len(records), records)
        self.assertEqual(["ARGV", "--argv", "/file", hostile, "PC 01"], records[1].split("\x1f"))

    def test_dlls_planted_beside_the_program_are_not_loaded(self):
        planted = self.prefix.drive_c / "planted"
        planted.mkdir(exist_ok=True)
        shutil.copy(qh.bin_path("qarlov.exe"), planted / "qarlov.exe")
        for name in ("wtsapi32.dll", "userenv.dll", "ws2_32.dll"):
            shutil.copy(qh.bin_path("qplant.dll"), planted / name)
        marker = self.prefix.drive_c / "planted-marker.log"
        if marker.exists():
            marker.unlink()
        with qh.UdpListener() as listener:
            self.configure(
                dialog=dict(title="t", message="m", waitfordialog=0, waitinsecs=0),
                syslog=dict(facility=16, severity=6, serverip="127.0.0.1", serverport=listener.port, message="%01"),
                execute=dict(commandline="qrecord.exe %01", waitforprogram=1, waitinsecs=10000, usesepbinpath=1,
                             hidewindow=1),
                message=dict(message="after actions"))
            output = self.run_for_new_lines(
                "  WARNING  after actions", [self.av.log_line(time=self.new_time)],
                program=self.prefix.windows_path(planted / "qarlov.exe"),
                env_extra={"QPLANT_MARKER": self.prefix.windows_path(marker)})
            self.assertEqual([b"<134>51"], listener.datagrams(timeout=2))
        self.assertFalse(marker.exists(), output)
        self.assertIn(DIALOG_REFUSED, output)  # Wine's own wtsapi32 answered
        self.assertEqual([f'"{SEP_BIN}qrecord.exe" 51'], self.records())



class CollectorFormatsTest(es.MonitorTestCase):
    """FORMAT 1 and 2 and PROTOCOL 1 against rsyslog: what it parses from the
    messages is what QARLOV sent; over TCP the connection outlives a restart
    of rsyslog."""

    def setUp(self):
        super().setUp()
        self.rsyslog = Rsyslog()
        self.addCleanup(self.rsyslog.stop)
        self.now = datetime.datetime.now().replace(microsecond=0)
        self.utc_offset = datetime.timedelta(0)

    def start_with(self, utc_offset=datetime.timedelta(0), **syslog):
        """Starts QARLOV with its local time utc_offset ahead of UTC and the
        Syslog action (plus a Message action that reports "sent %04")."""
        self.utc_offset = utc_offset
        qh.configure(self.prefix, timestamp="000001000000", message=dict(message="sent %04"), syslog=dict(
            dict(facility=16, severity=4, serverip="127.0.0.1", serverport=self.rsyslog.port, message="%06"),
            **syslog))
        minutes = int(utc_offset.total_seconds()) // 60
        sign = "-" if minutes >= 0 else "+"  # POSIX counts west of Greenwich as positive
        return self.start(env_extra={"TZ": "XXX%s%02d:%02d" % (sign, abs(minutes) // 60, abs(minutes) % 60)})

    def local_now(self):
        return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None) + self.utc_offset

    def append(self, *computers, **fields):
        """Appends one new matching line per computer in one write, to the day
        file of QARLOV's local date."""
        self.av.append([self.av.log_line(time=self.now, computer=computer, **fields) for computer in computers],
                       date=self.local_now().date())

    def send(self, run, *computers, **fields):
        """Appends the lines and waits until QARLOV has handled the last one
        and rsyslog has written as many more records."""
        before = len(self.rsyslog.parsed())
        self.append(*computers, **fields)
        self.assertTrue(run.wait_for(f"  WARNING  sent {computers[-1]}", 15), run.output())
        self.assertTrue(qh.wait_until(lambda: len(self.rsyslog.parsed()) >= before + len(computers), 5),
                        (self.rsyslog.parsed(), run.output()))
        return self.rsyslog.parsed()[before:]

    def computer_name(self):
        return self.prefix.reg_query(r"HKLM\System\CurrentControlSet\Control\ComputerName\ComputerName",
                                     "ComputerName")

    def assert_reported_time(self, record, pattern, local_time):
        self.assertRegex(record["TIME"], pattern)
        reported = datetime.datetime.fromisoformat(record["TIME"])
        self.assertLess(abs(reported.replace(tzinfo=None) - local_time), datetime.timedelta(seconds=10), record)

    def test_rfc3164_over_udp_to_a_host_name(self):
        run = self.start_with(datetime.timedelta(hours=5, minutes=30), format=1, serverip="localhost",
                              message="%06 on %04")
        [record] = self.send(run, "WKS-0142")
        sent_at = self.local_now()
        self.stop(run)
        # The BSD time has no zone: rsyslog (in UTC) takes QARLOV's local time as its own.
        self.assert_reported_time(record, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00$", sent_at)
        del record["TIME"]
        self.assertEqual(dict(HOST=self.computer_name(), APP="QARLOV", PROCID=str(run.pid), MSGID="-", SD="-",
                              MSG=" EICAR Test String on WKS-0142"), record)

    def test_rfc5424_over_tcp_carries_the_values_as_structured_data(self):
        run = self.start_with(-datetime.timedelta(hours=3, minutes=30), format=2, protocol=1,
                              serverport=self.rsyslog.tcp_port, message="%06{BR}second line")
        risk = 'EICAR "Te]st" \\ \xfcber'
        first, second = self.send(run, "PC-\xe9", "NEXT-PC", risk=risk)
        sent_at = self.local_now()
        self.stop(run)

        self.assert_reported_time(first, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-03:30$", sent_at)
        time_text = self.now.strftime("%d.%m.%Y %H:%M:%S")
        sd = (f'[qarlov@32473 time="{time_text}" event="51" category="1" logger="2" computer="PC-\xe9" '
              r'user="alice" risk="EICAR \"Te\]st\" \\ ' '\xfc' r'ber" path="C:\\Users\\alice\\Downloads\\eicar.com" '
              'action="1"]')
        del first["TIME"]
        self.assertEqual(dict(HOST=self.computer_name(), APP="QARLOV", PROCID=str(run.pid), MSGID="EVENT51", SD=sd,
                              MSG="\ufeff" + risk + "#012second line"), first)
        self.assertIn(' computer="NEXT-PC" ', second["SD"])

    def test_tcp_connection_outlives_a_restart_of_the_collector(self):
        run = self.start_with(format=2, protocol=1, serverport=self.rsyslog.tcp_port)
        self.send(run, "FIRST-PC")
        self.rsyslog.stop_process()
        self.rsyslog.start()
        self.send(run, "SECOND-PC")
        self.rsyslog.stop_process()
        self.append("LOST-PC")
        self.assertTrue(run.wait_for("  WARNING  sent LOST-PC", 15), run.output())
        self.rsyslog.start()
        self.send(run, "LAST-PC")
        output = self.stop(run)

        computers = [re.search(r' computer="([^"]*)"', record["SD"]).group(1) for record in self.rsyslog.parsed()]
        self.assertEqual(["FIRST-PC", "SECOND-PC", "LAST-PC"], computers)
        warning = "  WARNING  Could not connect to the syslog server [127.0.0.1] over TCP."
        self.assertEqual(1, output.count(warning), output)
        self.assert_in_order(output, "  WARNING  sent SECOND-PC", warning, "  WARNING  sent LOST-PC")

if __name__ == "__main__":
    unittest.main()
