"""Configuration end to end: the rule summary that -CONSOLE prints, the registry views the
program reads, the load errors in their order, the example registry file for administrators,
and the scan position that one run writes and the next one reads."""
import datetime
import pathlib
import re
import time
import unittest

import e2e_support as es
import qarlov_harness as qh

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE_REG = ROOT / "docs" / "qarlov-example.reg"
STARTED = rf"{es.STAMP} {{11}}Starting QARLOV in console mode\.\n\n"
RULE = qh.QARLOV_KEY + r"\Rule"

# Every value of the layout in the order the program reads it: (key, name, value). All are
# required but the scan position, the first three, which is optional as a whole (without it
# the program starts from now).
POSITION_NAMES = {"INSTANCE", "TIMESTAMP", "FILENAME"}
ROWS = [
    (qh.QARLOV_KEY, "INSTANCE", 2),
    (qh.QARLOV_KEY, "TIMESTAMP", "28020F0E0509"),
    (qh.QARLOV_KEY, "FILENAME", "03152010.Log"),
    (qh.QARLOV_KEY, "DEBUGOUTPUT", 1),
    (qh.SEP_DATA_KEY, "SEPAppDataDir", "C:\\ProgramData\\Symantec\\SEP\\"),
    (qh.SEP_BIN_KEY, "SAVCE", "C:\\Program Files (x86)\\Symantec\\SEP\\"),
    (RULE, "CAT", 1),
    (RULE, "EVENT", 51),
    (RULE, "LOGGER", 2),
    (RULE, "WAITBEFOREACTION", 250),
    (RULE, "ACTIONSTRATEGY", 1),
    (RULE, "TRIGGERSTRATEGY", 0),
    (RULE + r"\Dialog", "MESSAGE", "A message that is longer than twenty-five"),
    (RULE + r"\Dialog", "TITLE", "Alert{BR}Now"),
    (RULE + r"\Dialog", "WAITFORDIALOG", 1),
    (RULE + r"\Dialog", "WAITINSECS", 30),
    (RULE + r"\Execute", "COMMANDLINE", 'notify.exe /risk "%06" /file "%07" /host %04 /user %05 /action %08'),
    (RULE + r"\Execute", "WAITFORPROGRAM", 0),
    (RULE + r"\Execute", "WAITINSECS", 5000),
    (RULE + r"\Execute", "USESEPBINPATH", 1),
    (RULE + r"\Execute", "HIDEWINDOW", 0),
    (RULE + r"\Syslog", "FACILITY", 16),
    (RULE + r"\Syslog", "MESSAGE", "QARLOV: %06 found on %04 (user %05) in %07, action %08 at %00"),
    (RULE + r"\Syslog", "SERVERIP", "192.0.2.10"),
    (RULE + r"\Syslog", "SERVERPORT", 514),
    (RULE + r"\Syslog", "SEVERITY", 4),
    (RULE + r"\Message", "MESSAGE", "Risk %06 found in %07 on %04.{BR}Action taken: %08."),
]
# Optional values besides DISABLED, which the example registry file shows.
OPTIONAL_VALUES = {RULE + r"\Syslog": {"FORMAT", "PROTOCOL"}, RULE + r"\Message": {"EVENTID"}}
ANTIVIRUS_KEYS = (qh.SEP_DATA_KEY, qh.SEP_BIN_KEY)
LAYOUT_NAMES = {name for _, name, _ in ROWS} | {"DISABLED"}

SUMMARY = (
    "Action rule: Cat=1, Event=51, Logger=2\n"
    "Parameters:  WaitBeforeAction=250, ActionStrategy=1, TriggerStrategy=0, DebugOutput=1\n\n"
    "Dialog   [ Title: Alert\nNow, Message: A message that is long..., Wait: TRUE, Time: 30 ]\n"
    'Execute  [ notify.exe /risk "%06" /file "%07" /host %04 /u..., Wait: FALSE, Time:5000, '
    "UseSEPBinPath:TRUE HideWindow:FALSE ]\n"
    "Syslog   [ QARLOV: %06 found on %04 (user %05) in %07, act..., 192.0.2.10:514, Facility: 16, "
    "Severity: 4 ]\n\n"
    "Message  [ Risk %06 found in %07 on %04.\nAction taken: %08. ]\n\n")


def read_error(name):
    return f"Error reading QARLOV registry entry [{name}]. Install QARLOV reg file properly."


def key_error(key):
    return f"Error opening QARLOV registry key [\\HKLM\\{key[5:]}]. Install QARLOV reg file properly."


def sep_key_error(key):
    return f"Error opening SEP registry key [\\HKLM\\{key[5:]}]. SEP not properly installed."


def queried_layout_values(stderr):
    """The program's and the product's value names in the order the program queried them
    (from Wine's registry trace), repeated queries of one value counted once."""
    names = []
    for name in re.findall(r'NtQueryValueKey \(\w+,L"([^"]*)"', stderr):
        if name in LAYOUT_NAMES and (not names or names[-1] != name):
            names.append(name)
    return names


def expected_queries(rows):
    """Value names the loader queries for these rows: DISABLED first in each action key."""
    names, key_seen = [], set()
    for key, name, _ in rows:
        if key.startswith(RULE + "\\") and key not in key_seen:
            names.append("DISABLED")
        key_seen.add(key)
        names.append(name)
    return names


class ConfigurationTest(es.PrefixTestCase):
    def write(self, rows, own_view=64, antivirus_view=32, extra=None, every_key=False):
        """Replaces the configuration with these rows; extra: {key: {name: value}} written on
        top. every_key: every key of the layout exists, even one without values."""
        for view in (32, 64):
            self.prefix.reg_delete(qh.QARLOV_KEY, view=view)
            for key in ANTIVIRUS_KEYS:
                self.prefix.reg_delete(key, view=view)
        own, antivirus = {}, {}
        for key, _, _ in ROWS if every_key else rows:
            (antivirus if key in ANTIVIRUS_KEYS else own).setdefault(key, {})
        for key, name, value in rows:
            (antivirus if key in ANTIVIRUS_KEYS else own)[key][name] = value
        for key, values in (extra or {}).items():
            (antivirus if key in ANTIVIRUS_KEYS else own).setdefault(key, {}).update(values)
        self.prefix.import_keys(own, view=own_view)
        self.prefix.import_keys(antivirus, view=antivirus_view)

    def run_to_error(self, error, env_extra=None):
        result = qh.run_console(self.prefix, ["-CONSOLE"], timeout=30, env_extra=env_extra)
        self.assertFalse(result.timed_out, result.output)
        self.assertEqual(1, result.exit_code, result.output)
        self.assertRegex(result.output, "^(?s:.*?)" + STARTED + es.error_entry(error))
        self.assertEqual(1, result.output.count("ERROR"), result.output)
        self.assertNotIn("Action rule:", result.output)
        return result

    def console_summary(self, wait_for="Message  ["):
        """Starts -CONSOLE, waits for the summary and returns the output up to then. The
        watcher that runs after the summary is ended without clean-up."""
        with qh.start_console(self.prefix, ["-CONSOLE"]) as run:
            found = run.wait_for(wait_for, timeout=30)
            output = run.output()
        self.assertTrue(found, output)
        return output

    def test_complete_configuration_prints_the_summary(self):
        self.write(ROWS)
        # The watcher that follows the summary needs the antivirus log folder.
        self.prefix.linux_path("C:\\ProgramData\\Symantec\\SEP\\Data\\Logs\\AV").mkdir(parents=True, exist_ok=True)
        output = self.console_summary(wait_for=SUMMARY)
        self.assertRegex(output, "^(?s:.*?)" + STARTED + re.escape(SUMMARY))
        self.assertEqual(1, output.count("Action rule:"))
        self.assertNotIn("ERROR", output)

    def test_values_in_the_wrong_registry_views_are_not_found(self):
        self.write(ROWS, own_view=32, antivirus_view=32)
        self.run_to_error(key_error(qh.QARLOV_KEY))
        self.write(ROWS, own_view=64, antivirus_view=64)
        self.run_to_error(sep_key_error(qh.SEP_DATA_KEY))

    def test_each_missing_value_ends_the_run_and_nothing_after_it_is_read(self):
        for index, (key, name, _) in enumerate(ROWS):
            if name in POSITION_NAMES:
                continue
            with self.subTest(key=key, name=name):
                self.write(ROWS[:index] + ROWS[index + 1:], every_key=True)
                result = self.run_to_error(read_error(name), env_extra={"WINEDEBUG": "-all,+reg"})
                self.assertEqual(expected_queries(ROWS[:index + 1]), queried_layout_values(result.stderr))

    def test_values_of_another_type_are_read_errors(self):
        # A number's bytes stored as text or binary data, or a text stored as a number.
        cases = [
            ((qh.QARLOV_KEY, "INSTANCE"), "2"),
            ((qh.QARLOV_KEY, "TIMESTAMP"), 5),
            ((qh.SEP_DATA_KEY, "SEPAppDataDir"), b"C\0:\0\\\0\0\0"),
            ((RULE, "CAT"), b"\x01\x00\x00\x00"),
            ((RULE + r"\Syslog", "SERVERIP"), 0x0A000005),
        ]
        for (key, name), value in cases:
            with self.subTest(key=key, name=name):
                self.write([(k, n, value if (k, n) == (key, name) else v) for k, n, v in ROWS])
                self.run_to_error(read_error(name))
        with self.subTest(name="DISABLED"):
            self.write(ROWS, extra={RULE + r"\Dialog": {"DISABLED": "1"}})
            self.run_to_error(read_error("DISABLED"))

    def test_missing_keys_are_named(self):
        cases = [
            (qh.QARLOV_KEY, 64, key_error(qh.QARLOV_KEY)),
            (qh.SEP_DATA_KEY, 32, sep_key_error(qh.SEP_DATA_KEY)),
            (qh.SEP_BIN_KEY, 32, sep_key_error(qh.SEP_BIN_KEY)),
            (RULE, 64, key_error(RULE)),
        ]
        for key, view, error in cases:
            with self.subTest(key=key):
                self.write(ROWS)
                self.prefix.reg_delete(key, view=view)
                self.run_to_error(error)

    def test_strategies_must_be_zero_or_one(self):
        self.write(ROWS, extra={RULE: {"ACTIONSTRATEGY": 2}})
        self.run_to_error("QARLOV registry entry for ActionStrategy must be 0 (handle all errors) or 1 "
                          "(handle first error of scan).")
        self.write(ROWS, extra={RULE: {"TRIGGERSTRATEGY": 5}})
        self.run_to_error("QARLOV registry entry for TriggerStrategy must be 0 (watch log file) or 1 "
                          "(watch windows event log).")

    def test_no_action_ends_the_run(self):
        error = 'No action settings found in registry. Specify "Dialog", "Execute", "Syslog", or "Message".'
        self.write(ROWS[:12])
        self.run_to_error(error)
        disabled = {RULE + "\\" + name: {"DISABLED": 1} for name in ("Dialog", "Execute", "Syslog", "Message")}
        self.write(ROWS, extra=disabled)
        self.run_to_error(error)

    def test_the_longest_product_folder_takes_the_log_subfolder(self):
        # A text value holds at most 4095 characters, so appending Data\Logs\AV\ always
        # fits: the append error cannot be reached through the registry.
        rows = [(key, name, "D" * 4095 if name == "SEPAppDataDir" else value) for key, name, value in ROWS]
        self.write(rows)
        output = self.console_summary(wait_for=SUMMARY)
        self.assertIn(SUMMARY, output)
        self.assertNotIn("Error adding two string", output)

    def test_the_example_registry_file_imports_and_loads(self):
        for view in (32, 64):
            self.prefix.reg_delete(qh.QARLOV_KEY, view=view)
            for key in ANTIVIRUS_KEYS:
                self.prefix.reg_delete(key, view=view)
        self.prefix.import_reg(EXAMPLE_REG, view=64)

        for key in ANTIVIRUS_KEYS:
            for view in (32, 64):
                self.assertIsNone(self.prefix.reg_values(key, view=view), "the product's keys are its own")
        # The settings only: the scan position is the program's own.
        for key in {key for key, _, _ in ROWS if key not in ANTIVIRUS_KEYS}:
            values = self.prefix.reg_values(key, view=64)
            expected = ({name for k, name, _ in ROWS if k == key and name not in POSITION_NAMES} |
                        OPTIONAL_VALUES.get(key, set()) |
                        ({"DISABLED"} if key.startswith(RULE + "\\") else set()))
            self.assertEqual(expected, set(values), key)

        qh.AvStandIn(self.prefix)
        output = self.console_summary(wait_for="Message  [ Risk %06 found in %07 on %04.\nAction taken: %08. ]\n\n")
        self.assertRegex(output, "^(?s:.*?)" + STARTED + re.escape(
            "Action rule: Cat=1, Event=51, Logger=2\n"
            "Parameters:  WaitBeforeAction=500, ActionStrategy=0, TriggerStrategy=0, DebugOutput=0\n\n"
            "Dialog   [ Title: Virus alert on %04, Message: %06 was found in\n%07\no..., Wait: FALSE, Time: 60 ]\n"
            "Message  [ Risk %06 found in %07 on %04.\nAction taken: %08. ]\n\n"))
        self.assertNotIn("ERROR", output)


class ScanPositionTest(unittest.TestCase):
    """A matching line moves the scan position in the registry; the next start reads it back
    and handles only the lines after it."""

    def setUp(self):
        self.prefix = qh.WinePrefix()
        self.addCleanup(self.prefix.close)
        self.av = qh.AvStandIn(self.prefix)
        qh.configure(self.prefix, debug_output=1, instance=5, timestamp="000001000000", filename="old.Log",
                     message=dict(message="Detected %06"))

    def run_until(self, text, position):
        """Runs -CONSOLE until text is shown and the registry holds the position
        (INSTANCE, TIMESTAMP, FILENAME); returns the output."""
        with qh.start_console(self.prefix, ["-CONSOLE"]) as run:
            found = run.wait_for(text, timeout=30)
            written = qh.wait_until(lambda: self.position() == position, 15)
            output = run.output()
        self.assertTrue(found, output)
        self.assertTrue(written, f"{self.position()} instead of {position}\n{output}")
        return output

    def position(self):
        return es.scan_position(self.prefix)

    def test_position_is_written_and_read_back_by_the_next_start(self):
        when = datetime.datetime.now().replace(microsecond=0) - datetime.timedelta(seconds=30)
        if when.date() != datetime.date.today():
            self.skipTest("too close to midnight")
        timestamp = "%02X%02X%02X%02X%02X%02X" % (when.year - 1970, when.month - 1, when.day, when.hour,
                                                  when.minute, when.second)
        self.av.append(self.av.log_line(time=when, risk="First"))
        self.run_until("Detected First", (0, timestamp, self.av.day_file().name))

        # The same second once more: the next start skips the first line and takes this one
        # as ordinal 1 of that second.
        self.av.append(self.av.log_line(time=when, risk="Second"))
        output = self.run_until("Detected Second", (1, timestamp, self.av.day_file().name))
        self.assertNotIn("Detected First", output)


if __name__ == "__main__":
    unittest.main()
