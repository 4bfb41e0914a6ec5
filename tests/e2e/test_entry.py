"""The entry of qarlov.exe as an administrator meets it: the banner, the usage
text, the command-line check, the choice between console and service mode, and
the Windows line of the banner."""
import os
import re
import unittest

import e2e_support as es
import qarlov_harness as qh

USAGE = ("\nUsage: QARLOV -IMP | -RMP | -IS | -RS | -SA | -SP | -I | -R | -CONSOLE\n\n"
         "-IMP      Register this executable as a message provider in the registry.\n"
         "-RMP      Remove message provider entries from the registry.\n"
         "-IS       Register this application as a Windows autostart service.\n"
         "-RS       Remove the service registration from the registry.\n"
         "-SA       Start the service.\n"
         "-SP       Stop the service.\n"
         "-I        Install message provider and service and start the service.\n"
         "-R        Stop the service and remove the message provider and service registrations.\n"
         "-CONSOLE  Normal operation as console application.\n\n")
STOPPED = "\nProgram stopped.\n\n"


def banner(bits=r"(?:32|64)", windows=r"(?:7|XP)"):
    """The banner as a regex; the vendor line is any one non-empty line."""
    return (r"\nTessaline - QARLOV\n[^\n]+\n\n"
            rf"Running on a {bits} bit installation of Windows {windows}\.\n\n")


def unknown_argument(argument):
    return es.error_entry(f"Unknown command line argument [{argument}].\n\n"
                          "Start QARLOV without parameters for a list of options.")


class ConsoleEntryTest(es.PrefixTestCase):
    def run_console(self, args):
        result = qh.run_console(self.prefix, args)
        self.assertFalse(result.timed_out, result.stderr)
        return result

    def test_wrong_argument_count_prints_banner_and_usage(self):
        for args in ([], ["-IS", "-RS"], ["CONSOLE", "CONSOLE"]):
            with self.subTest(args=args):
                result = self.run_console(args)
                self.assertEqual(1, result.exit_code)
                self.assertRegex(result.output, "^" + banner("64", "7") + re.escape(USAGE + STOPPED) + "$")
                # Text-mode output: every line break is CR LF, the usage text byte for byte.
                self.assertTrue(result.raw.endswith((USAGE + STOPPED).replace("\n", "\r\n").encode("ascii")))
                self.assertNotIn(b"\n", result.raw.replace(b"\r\n", b""))

    def test_unknown_arguments_are_quoted_as_typed(self):
        for argument in ("--IS", "/IS", "-", "", "--console", "/CONSOLE", "CONSOLEX", "-CON", "i s"):
            with self.subTest(argument=argument):
                result = self.run_console([argument])
                self.assertEqual(1, result.exit_code)
                self.assertRegex(result.output, "^" + banner() + unknown_argument(argument))

    def test_console_argument_in_any_case_starts_the_console_run(self):
        for argument in ("cOnSoLe", "-console", "CONSOLE", "-CONSOLE"):
            with self.subTest(argument=argument):
                result = self.run_console([argument])
                self.assertRegex(result.output, "^" + banner() + rf"{es.STAMP} {{11}}Starting QARLOV in console mode\.\n\n")
                self.assertNotIn("Unknown command line argument", result.output)
                self.assertNotIn("Usage:", result.output)


class ServiceEntryTest(es.PrefixTestCase):
    def test_without_console_only_a_start_without_argument_is_a_service_start(self):
        # Two arguments would print the usage text with a console; without one it is the
        # error entry. (A single argument runs its command: tests/e2e/test_service.py.)
        cases = [
            ([], [("information", "Starting QARLOV in service mode."),
                  ("error", "StartServiceCtrlDispatcher failed.")], [0x40000001, 0xC0000003]),
            (["-console", "extra"], [("error", USAGE.strip("\n"))], [0xC0000003]),
        ]
        for args, events, event_ids in cases:
            with self.subTest(args=args):
                result = qh.run_no_console(self.prefix, args)
                self.assertFalse(result.timed_out, result.stderr)
                self.assertEqual(b"", result.raw)
                self.assertEqual(event_ids, [event.event_id for event in result.events])
                for (kind, text), event in zip(events, result.events):
                    self.assertEqual(kind, event.kind)
                    # An error ends with Windows' reason; Wine shows only the start of a long text.
                    shown = event.text.partition(" -> ")[0]
                    self.assertEqual(text[:len(shown)] if event.truncated else text, shown)
                self.assertEqual(1, result.exit_code)


class WindowsVersionTest(es.PrefixTestCase):
    def test_banner_names_the_windows_generation(self):
        # GetVersionExW: winxp 5.1, vista 6.0, win7 6.1, win10 6.2 (no compatibility manifest).
        for version, expected in (("winxp", "XP"), ("vista", "XP"), ("win7", "7"), ("win10", "7")):
            with self.subTest(version=version):
                self.prefix.set_windows_version(version)
                result = qh.run_console(self.prefix, [])
                self.assertEqual(1, result.exit_code)
                self.assertRegex(result.output, "^" + banner("64", expected) + re.escape(USAGE))

    def test_windows_older_than_xp_is_refused_after_the_banner(self):
        self.prefix.set_windows_version("win2k")
        result = qh.run_console(self.prefix, ["-CONSOLE"])
        self.assertEqual(1, result.exit_code)
        self.assertRegex(result.output,
                         "^" + banner("64", "XP") + es.error_entry("Minimum supported operating system is Windows XP."))

    def tearDown(self):
        self.prefix.set_windows_version(None)


@unittest.skipUnless(os.environ.get("QARLOV_TEMPLATE_PREFIX_WIN32"), "no 32-bit template prefix")
class Win32PrefixTest(unittest.TestCase):
    def test_banner_says_32_bit_without_wow64(self):
        with qh.WinePrefix(arch="win32") as prefix:
            result = qh.run_console(prefix, [])
        self.assertEqual(1, result.exit_code)
        self.assertRegex(result.output, "^" + banner("32", "7") + re.escape(USAGE + STOPPED) + "$")


if __name__ == "__main__":
    unittest.main()
