"""Test cases and checks shared by the end-to-end tests, on top of qarlov_harness.

    TestCase                  unittest.TestCase with assert_in_order
    PrefixTestCase            one throw-away prefix for the whole class (cls.prefix)
    MonitorTestCase           that prefix with the antivirus stand-in (cls.av), an empty log
                              folder for each test, and start/stop of qarlov.exe -CONSOLE
    STAMP, error_entry(text)  regexes of the console's time stamp and of an error entry
    scan_position(prefix)     (INSTANCE, TIMESTAMP, FILENAME) as stored in the registry
    free_udp_port()           a loopback UDP port nobody listens on
"""
import re
import socket
import unittest

import qarlov_harness as qh

MONITORING = "  Monitoring directory "
STAMP = r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d"


def error_entry(text):
    """An error line with or without the system's text, then the stop line, at the end."""
    return rf"{STAMP}  ERROR    {re.escape(text)}(?:\n| -> [^\n]*\n)\nProgram stopped\.\n\n$"


def scan_position(prefix):
    values = prefix.reg_values(qh.QARLOV_KEY)
    return values["INSTANCE"], values["TIMESTAMP"], values["FILENAME"]


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class TestCase(unittest.TestCase):
    def assert_in_order(self, output, *texts):
        """Each text occurs in output, after the one before it."""
        position = 0
        for text in texts:
            found = output.find(text, position)
            self.assertGreaterEqual(found, 0, f"{text!r} missing (in order) from:\n{output}")
            position = found + len(text)


class PrefixTestCase(TestCase):
    """One throw-away prefix, made from the template, for all tests of the class."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = qh.WinePrefix()
        # Class clean-ups run after tearDownClass, and also when a subclass's
        # setUpClass fails after this one.
        cls.addClassCleanup(cls.prefix.close)


class MonitorTestCase(PrefixTestCase):
    """The class's prefix with the antivirus stand-in; each test starts with an empty log folder."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.av = qh.AvStandIn(cls.prefix)

    def setUp(self):
        for path in self.av.log_dir.iterdir():
            path.unlink()

    def start(self, wait=True, env_extra=None, program=None):
        """Starts qarlov.exe -CONSOLE (or program), ended at the latest when the test ends;
        with wait, waits until it monitors the log folder."""
        run = qh.start_console(self.prefix, ["-CONSOLE"], env_extra=env_extra, program=program)
        self.addCleanup(run.__exit__, None, None, None)
        if wait:
            self.assertTrue(run.wait_for(MONITORING, 30), run.output() + run.stderr())
        return run

    def stop(self, run, kind="c"):
        """Sends Ctrl-C (or the kind of console event given); the run must end with 0.
        Returns its output."""
        run.send_ctrl(kind)
        self.assertEqual(0, run.wait(30), run.output())
        return run.output()
