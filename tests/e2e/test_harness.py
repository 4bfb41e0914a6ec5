"""The end-to-end harness itself: what the other end-to-end tests rely on when
they start programs, read the registry and read event-log reports."""
import socket
import time
import unittest

import e2e_support as es
import qarlov_harness as qh


class LauncherTest(es.PrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.qrecord = cls.prefix.windows_path(qh.bin_path("qrecord.exe"))

    def recorded_command_line(self, args):
        record = self.prefix.temp_file("qrecord.log")
        result = qh.run_console(self.prefix, args, program=self.qrecord,
                                env_extra={"QRECORD_FILE": self.prefix.windows_path(record)})
        self.assertEqual(0, result.exit_code, result.stderr)
        line = record.read_bytes().decode("utf-8")
        self.assertTrue(line.endswith("\n"))
        return line[:-1].split(" ", 1)[1]

    def test_arguments_reach_the_program_quoted_for_its_parser(self):
        cases = [
            ("", '""'),
            ("plain", "plain"),
            ("two words", '"two words"'),
            ('say "hi"', '"say \\"hi\\""'),
            ("C:\\dir\\", "C:\\dir\\"),
            ("C:\\my dir\\", '"C:\\my dir\\\\"'),
            ("a\\\\\"b", '"a\\\\\\\\\\"b"'),
            ("caf\u00e9", "caf\u00e9"),
        ]
        for argument, expected in cases:
            with self.subTest(argument=argument):
                self.assertEqual(expected, self.recorded_command_line([argument]))
        self.assertEqual('"" x ""', self.recorded_command_line(["", "x", ""]))

    def test_time_out_terminates_the_program(self):
        started = time.monotonic()
        result = qh.run_console(self.prefix, ["--sleep", "20000"], timeout=0.5, program=self.qrecord)
        self.assertLess(time.monotonic() - started, 10)
        self.assertTrue(result.timed_out)
        self.assertEqual(qh.TIMED_OUT, result.exit_code)
        self.assertIn("time-out", result.stderr)

    def test_qrecord_sleeps_then_writes_to_its_default_file(self):
        started = time.monotonic()
        result = qh.run_no_console(self.prefix, ["--sleep", "600", "x"], program=self.qrecord)
        self.assertGreaterEqual(time.monotonic() - started, 0.6)
        self.assertEqual(0, result.exit_code)
        recorded = (self.prefix.drive_c / "qrecord.log").read_text(encoding="utf-8")
        self.assertTrue(recorded.endswith(" --sleep 600 x\n"), recorded)

    def test_started_program_can_be_killed(self):
        with qh.start_console(self.prefix, ["--sleep", "20000"], program=self.qrecord) as run:
            self.assertIsNone(run.wait(0.2))
            run.kill()
            self.assertEqual(1, run.wait(10))


class RegistryTest(es.PrefixTestCase):
    KEY = r"HKLM\SOFTWARE\kestu\HarnessTest"

    def test_values_round_trip_in_their_view(self):
        values = [
            ("REG_DWORD", 0xFFFFFFFF, 0xFFFFFFFF),
            ("REG_SZ", 'C:\\Program Files (x86)\\"q"\\', 'C:\\Program Files (x86)\\"q"\\'),
            ("REG_SZ", "caf\u00e9 \u20ac", "caf\u00e9 \u20ac"),
            ("REG_SZ", "", ""),
            ("REG_MULTI_SZ", ["a", "b c"], ["a", "b c"]),
            ("REG_BINARY", b"\x01\xff", b"\x01\xff"),
        ]
        for index, (kind, data, expected) in enumerate(values):
            with self.subTest(kind=kind, data=data):
                self.prefix.reg_add(self.KEY, f"V{index}", kind, data, view=32)
                self.assertEqual(expected, self.prefix.reg_query(self.KEY, f"V{index}", view=32))
                self.assertIsNone(self.prefix.reg_query(self.KEY, f"V{index}", view=64))
        texts = dict(LF="two\nlines", CRTAB="a\r\tb", QUOTES='"\\n"')
        self.prefix.import_keys({self.KEY: texts}, view=32)
        self.assertEqual(texts, {name: self.prefix.reg_query(self.KEY, name, view=32) for name in texts})
        self.prefix.reg_delete(self.KEY, "V0", view=32)
        self.assertIsNone(self.prefix.reg_query(self.KEY, "V0", view=32))
        self.prefix.reg_delete(self.KEY, view=32)
        self.assertIsNone(self.prefix.reg_values(self.KEY, view=32))

    def test_configure_replaces_the_whole_configuration(self):
        qh.configure(self.prefix, message=dict(message="old"), dialog=dict(disabled=1))
        qh.configure(self.prefix, rule=dict(event=5, wait_before_action=None), filename="x.Log",
                     syslog=dict(facility=16, severity=4, message="m{BR}n", serverip="127.0.0.1", serverport=5514))
        key = qh.QARLOV_KEY
        self.assertEqual(dict(INSTANCE=0, TIMESTAMP="000001000000", FILENAME="x.Log", DEBUGOUTPUT=1),
                         self.prefix.reg_values(key))
        self.assertEqual(dict(CAT=1, EVENT=5, LOGGER=2, ACTIONSTRATEGY=0, TRIGGERSTRATEGY=0),
                         self.prefix.reg_values(key + "\\Rule"))
        self.assertEqual(dict(FACILITY=16, SEVERITY=4, MESSAGE="m{BR}n", SERVERIP="127.0.0.1", SERVERPORT=5514),
                         self.prefix.reg_values(key + "\\Rule\\Syslog"))
        self.assertIsNone(self.prefix.reg_values(key + "\\Rule\\Message"))
        self.assertIsNone(self.prefix.reg_values(key + "\\Rule\\Dialog"))

    def test_av_stand_in_registers_in_the_32_bit_view(self):
        av = qh.AvStandIn(self.prefix)
        self.assertEqual("C:\\ProgramData\\Symantec\\SEP\\",
                         self.prefix.reg_query(qh.SEP_DATA_KEY, "SEPAppDataDir", view=32))
        self.assertEqual("C:\\Program Files (x86)\\Symantec\\SEP\\",
                         self.prefix.reg_query(qh.SEP_BIN_KEY, "SAVCE", view=32))
        self.assertIsNone(self.prefix.reg_query(qh.SEP_BIN_KEY, "SAVCE", view=64))
        self.assertTrue(av.log_dir.is_dir())
        self.assertEqual(self.prefix.drive_c / "ProgramData/Symantec/SEP/Data/Logs/AV/03152010.Log",
                         av.day_file(qh._dt.date(2010, 3, 15)))


class LogLineTest(unittest.TestCase):
    def test_line_layout(self):
        line = qh.AvStandIn.log_line(None, time=qh._dt.datetime(2010, 3, 15, 14, 5, 9), event=51, category=1,
                                     logger=2, computer="HOST01", user="bob", risk="R", path="C:\\x.exe",
                                     action11=4)
        self.assertTrue(line.endswith("\r\n") and "\n" not in line[:-1])
        self.assertEqual(["28020F0E0509", "51", "1", "2", "HOST01", "bob", "R", "C:\\x.exe", "1", "4", "4"],
                         line.split(",")[:11])
        self.assertTrue(250 <= len(qh.AvStandIn.log_line(None)) <= 450)


class EventParsingTest(unittest.TestCase):
    def test_reports_with_call_lines(self):
        text = ("0148:fixme:advapi:ReportEventW (CAFE4242,0x0004,0x0000,0x40000001,00000000,0x0001,0x0,0,0): stub\n"
                "0150:fixme:advapi:ReportEventW (CAFE4242,0x0002,0x0000,0x80000002,00000000,0x0001,0x0,0,0): stub\n"
                '0148:trace:eventlog:ReportEventW L"first\\n"\n'
                '0150:warn:eventlog:ReportEventW L"other thread \\"q\\" \\\\ \\00e9"\n'
                '0148:trace:eventlog:ReportEventW L"\\n"\n'
                '0148:trace:eventlog:ServiceMain something else\n'
                "0148:fixme:advapi:ReportEventW (CAFE4242,0x0001,0x0000,0xc0000003,00000000,0x0001,0x0,0,0): stub\n"
                '0148:err:eventlog:ReportEventW L"cut"...\n'
                "0148:fixme:advapi:ReportEventW (CAFE4242,0x0004,0x0000,0x40000001,00000000,0x0001,0x0,0,0): stub\n")
        events = qh.parse_events(text)
        self.assertEqual([("information", "first\n\n"), ("warning", 'other thread "q" \\ \u00e9'), ("error", "cut"),
                          ("information", "")], events)
        self.assertEqual([0x40000001, 0x80000002, 0xC0000003, 0x40000001], [e.event_id for e in events])
        self.assertEqual([False, False, True, False], [e.truncated for e in events])

    def test_reports_without_call_lines_split_at_unfinished_lines(self):
        text = ('trace:eventlog:ReportEventW L"a\\n"\n'
                'trace:eventlog:ReportEventW L"b"\n'
                'err:eventlog:ReportEventW L"c"\n')
        self.assertEqual([("information", "a\nb"), ("error", "c")], qh.parse_events(text))


class UdpListenerTest(unittest.TestCase):
    def test_collects_new_datagrams(self):
        with qh.UdpListener() as listener, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for payload in (b"<132>one", b"<132>two"):
                sender.sendto(payload, ("127.0.0.1", listener.port))
            self.assertEqual([b"<132>one", b"<132>two"], listener.datagrams(timeout=5, count=2))
            started = time.monotonic()
            self.assertEqual([], listener.datagrams(timeout=0.3))
            self.assertGreaterEqual(time.monotonic() - started, 0.29)


if __name__ == "__main__":
    unittest.main()
