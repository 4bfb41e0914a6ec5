"""QARLOV as a Windows service under Wine's service control manager: install
and removal of the service and the message provider, starting and stopping,
and a running service that reacts to a new antivirus log line."""
import datetime
import re
import shutil
import time
import unittest

import e2e_support as es
import qarlov_harness as qh

SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\QARLOV"
PROVIDER_KEY = r"HKLM\SYSTEM\CurrentControlSet\services\eventlog\Application\QARLOV"
SERVICE_STOPPED, SERVICE_RUNNING = 1, 4

RULE = dict(cat=1, event=51, logger=2, wait_before_action=0, action_strategy=0, trigger_strategy=0)
MESSAGE = dict(message="Detection of %06 in %07 by %05")


def service_state(prefix):
    """The state the service control manager reports, None when the service doesn't exist."""
    output = prefix.system_tool(["sc", "query", "QARLOV"]).stdout.decode("latin-1")
    found = re.search(r"STATE\s*:\s*(\d+)", output)
    return int(found.group(1)) if found else None


def service_exit_codes(prefix):
    """(Win32 exit code, service-specific exit code) as the service control manager reports them."""
    output = prefix.system_tool(["sc", "query", "QARLOV"]).stdout.decode("latin-1")
    win32 = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", output)
    specific = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", output)
    return (int(win32.group(1)) if win32 else None, int(specific.group(1)) if specific else None)


def delete_service(prefix):
    for command in ("stop", "delete"):
        prefix.system_tool(["sc", command, "QARLOV"])


class ServiceTest(es.TestCase):
    def setUp(self):
        self.prefix = self.enterContext(qh.WinePrefix())
        # Runs before the prefix goes: no test leaves a service behind.
        self.addCleanup(delete_service, self.prefix)
        self.events = qh.EventLogCapture(self.prefix)
        self.av = qh.AvStandIn(self.prefix)
        self.program = self.prefix.windows_path(qh.bin_path("qarlov.exe"))

    def run_command(self, argument):
        result = qh.run_console(self.prefix, [argument], timeout=60)
        self.assertEqual(0, result.exit_code, result.output)
        return result.output

    def event_texts(self, kind=None):
        return [text for event_kind, text in self.events.events() if kind is None or event_kind == kind]

    def wait_for_event(self, text, kind, timeout=20):
        return self.events.wait_for_event(kind, text, timeout) is not None

    def install_and_wait_until_running(self):
        output = self.run_command("-I")
        self.assert_in_order(output, "  QARLOV was installed as message provider.\n",
                             "  QARLOV was installed as service.\n", "  QARLOV service was started.\n",
                             "  QARLOV install completed.\n")
        self.assertNotIn("WARNING", output)  # the recovery actions were taken too
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) == SERVICE_RUNNING, 20), self.event_texts())
        self.assertTrue(self.wait_for_event("Monitoring directory ", "information"), self.event_texts())
        return output

    def test_install_registers_provider_and_quoted_service_and_starts_it(self):
        qh.configure(self.prefix, rule=RULE, message=MESSAGE)
        self.install_and_wait_until_running()

        reg = self.prefix.reg_query
        self.assertEqual(self.program, reg(PROVIDER_KEY, "EventMessageFile"))
        self.assertEqual(7, reg(PROVIDER_KEY, "TypesSupported"))
        self.assertEqual(self.program, reg(PROVIDER_KEY, "CategoryMessageFile"))
        self.assertEqual(3, reg(PROVIDER_KEY, "CategoryCount"))

        self.assertEqual(f'"{self.program}"', reg(SERVICE_KEY, "ImagePath"))
        self.assertEqual(0x10, reg(SERVICE_KEY, "Type"))  # own process
        self.assertEqual(2, reg(SERVICE_KEY, "Start"))  # automatic
        self.assertEqual(1, reg(SERVICE_KEY, "ErrorControl"))
        self.assertEqual("LocalSystem", reg(SERVICE_KEY, "ObjectName"))

        self.assertIn("Starting QARLOV in service mode.", self.event_texts("information"))
        self.assertIn("QARLOV ServiceMain called has been called by the Service Control Manager.",
                      self.event_texts("information"))

    def test_start_and_stop_commands_and_their_warnings(self):
        qh.configure(self.prefix, rule=RULE, message=MESSAGE)
        self.install_and_wait_until_running()

        output = self.run_command("-SA")
        self.assertIn("  WARNING  Cannot start the QARLOV service because it is already running.", output)

        self.assertIn("  QARLOV service was stopped.\n", self.run_command("-SP"))
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) == SERVICE_STOPPED, 20))
        self.assertTrue(self.wait_for_event("Deallocation of global variables and closing of open handles.",
                                            "information"))
        self.assert_in_order("\n".join(self.event_texts("information")),
                             "QARLOV ServiceControlHandler received a request to stop the QARLOV service.",
                             "Shutting down log file monitor routine. QARLOV is about to stop.",
                             "Deallocation of global variables and closing of open handles.")
        self.assertEqual([], self.event_texts("error"))

        output = self.run_command("-SP")
        self.assertIn("  WARNING  Cannot stop the QARLOV service because it is not started.", output)

        self.assertIn("  QARLOV service was started.\n", self.run_command("-SA"))
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) == SERVICE_RUNNING, 20))

    def test_remove_stops_the_service_and_removes_both_registrations(self):
        qh.configure(self.prefix, rule=RULE, message=MESSAGE)
        self.install_and_wait_until_running()

        output = self.run_command("-R")
        self.assert_in_order(output, "  QARLOV service was stopped.\n",
                             "  QARLOV was deinstalled as message provider.\n",
                             "  QARLOV service was marked for deletion.\n", "  QARLOV removal completed.\n")
        self.assertNotIn("WARNING", output)
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) is None, 20))
        self.assertIsNone(self.prefix.reg_query(PROVIDER_KEY, "EventMessageFile"))
        self.assertIsNone(self.prefix.reg_query(SERVICE_KEY, "ImagePath"))

    def test_installing_the_service_twice_warns(self):
        self.assertIn("  QARLOV was installed as service.\n", self.run_command("-IS"))
        output = self.run_command("-IS")
        self.assertRegex(output, r"  WARNING  Can not create QARLOV service\. -> .+\n")
        self.assertNotIn("installed as service", output)

    def test_removing_an_unregistered_message_provider_warns_with_code_2(self):
        output = self.run_command("-RMP")
        self.assert_in_order(
            output, "  WARNING  Unable to delete registry key "
            r"[\HKLM\SYSTEM\CurrentControlSet\services\eventlog\Application\QARLOV]. Error = 2. -> ",
            "  QARLOV was deinstalled as message provider.\n")

    def test_running_service_reacts_to_a_new_matching_line(self):
        listener = self.enterContext(qh.UdpListener())
        qh.configure(self.prefix, rule=RULE,
                     syslog=dict(facility=16, severity=4, message="QARLOV %01 %06 on %04", serverip="127.0.0.1",
                                 serverport=listener.port),
                     message=MESSAGE)
        self.av.append([])  # today's file exists before the service starts
        self.install_and_wait_until_running()
        self.assertEqual([], listener.datagrams(timeout=1))

        self.av.append([self.av.log_line(time=datetime.datetime.now(), event=51, category=1, logger=2,
                                         computer="HOST01", user="alice", risk="EICAR Test String",
                                         path=r"C:\Users\alice\eicar.com")])
        self.assertEqual([b"<132>QARLOV 51 EICAR Test String on HOST01"], listener.datagrams(timeout=15))
        self.assertTrue(self.wait_for_event(r"Detection of EICAR Test String in C:\Users\alice\eicar.com by alice",
                                            "warning"), self.event_texts())
        # A line of another event doesn't match the rule.
        self.av.append([self.av.log_line(time=datetime.datetime.now(), event=5, category=1, logger=2)])
        self.assertEqual([], listener.datagrams(timeout=3))
        self.assertEqual([], self.event_texts("error"))


    def test_an_error_entry_reports_a_failed_stop(self):
        qh.configure(self.prefix, rule=RULE)  # no action: the loader's error ends the service
        qh.run_console(self.prefix, ["-I"], timeout=60)
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) == SERVICE_STOPPED, 20))
        self.assertTrue(self.wait_for_event("No action settings found in registry.", "error"), self.event_texts())
        self.assertEqual((1066, 1), service_exit_codes(self.prefix))  # ERROR_SERVICE_SPECIFIC_ERROR, 1

    def test_a_stop_during_a_program_wait_saves_the_line_and_never_repeats_it(self):
        listener = self.enterContext(qh.UdpListener())
        shutil.copy(qh.bin_path("qrecord.exe"), self.prefix.drive_c / "qrecord.exe")
        qh.configure(self.prefix, rule=RULE,
                     syslog=dict(facility=16, severity=4, message="QARLOV %06", serverip="127.0.0.1",
                                 serverport=listener.port),
                     execute=dict(commandline=r"C:\qrecord.exe --sleep 60000", waitforprogram=1,
                                  waitinsecs=0xFFFFFFFF, usesepbinpath=0, hidewindow=1))
        self.av.append([])
        self.install_and_wait_until_running()
        when = datetime.datetime.now().replace(microsecond=0)
        self.av.append([self.av.log_line(time=when, event=51, category=1, logger=2, risk="Slow.Wait")])
        # The datagram goes out right before the program starts and is waited for.
        self.assertEqual([b"<132>QARLOV Slow.Wait"], listener.datagrams(timeout=15))
        time.sleep(1)

        stop_requested = time.monotonic()
        self.assertIn("  QARLOV service was stopped.\n", self.run_command("-SP"))
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) == SERVICE_STOPPED, 10))
        self.assertLess(time.monotonic() - stop_requested, 6)  # the stop wait hint and the command itself
        timestamp = "%02X%02X%02X%02X%02X%02X" % (when.year - 1970, when.month - 1, when.day, when.hour,
                                                  when.minute, when.second)
        self.assertEqual(timestamp, self.prefix.reg_query(qh.QARLOV_KEY, "TIMESTAMP"))

        self.assertIn("  QARLOV service was started.\n", self.run_command("-SA"))
        self.assertTrue(self.wait_for_event("Monitoring directory ", "information"), self.event_texts())
        self.assertEqual([], listener.datagrams(timeout=3))
        self.assertEqual([], self.event_texts("error"))

    def test_service_with_event_log_trigger_reads_at_start_and_stops(self):
        # Wine's event log has no records and never signals a change: what
        # shows here is the reading at start and the stop handshake.
        qh.configure(self.prefix, rule=dict(RULE, trigger_strategy=1), message=MESSAGE)
        self.av.append(self.av.log_line(event=51, category=1, logger=2, user="bob", risk="Trojan.Gen",
                                        path=r"C:\Temp\t.exe"))
        self.run_command("-I")
        self.assertTrue(self.wait_for_event("Monitoring event log.", "information"), self.event_texts())
        self.assertIn(r"Detection of Trojan.Gen in C:\Temp\t.exe by bob", self.event_texts("warning"))

        self.assertIn("  QARLOV service was stopped.\n", self.run_command("-SP"))
        self.assertTrue(qh.wait_until(lambda: service_state(self.prefix) == SERVICE_STOPPED, 20))
        self.assertTrue(self.wait_for_event("Deallocation of global variables and closing of open handles.",
                                            "information"))
        self.assertIn("Shutting down event monitor routine. QARLOV is about to stop.", self.event_texts("information"))
        self.assertEqual([], self.event_texts("error"))


class CommandWithoutConsoleTest(es.TestCase):
    """A deployment tool, a remote shell or an installer runs the commands without a console
    window: each runs as on the console, its entries go to the event log, and its exit code
    says whether the state it is for holds afterwards."""

    def setUp(self):
        self.prefix = self.enterContext(qh.WinePrefix())
        self.addCleanup(delete_service, self.prefix)

    def run_command(self, argument, exit_code):
        result = qh.run_no_console(self.prefix, [argument], timeout=90)
        self.assertEqual(exit_code, result.exit_code, result.events)
        self.assertEqual(b"", result.raw)
        return result.events

    def test_install_and_remove_without_a_console(self):
        av = qh.AvStandIn(self.prefix)
        # A detection that the service finds at its start, reported under an event id of its own.
        av.append(av.log_line(event=51, category=1, logger=2, user="bob", risk="Trojan.Gen",
                              path=r"C:\Temp\t.exe"))
        qh.configure(self.prefix, rule=RULE, message=dict(MESSAGE, eventid=100))
        service_events = qh.EventLogCapture(self.prefix)
        self.assertEqual([("information", "QARLOV was installed as message provider."),
                          ("information", "QARLOV was installed as service."),
                          ("information", "QARLOV service was started."),
                          ("information", "QARLOV install completed.")], self.run_command("-I", 0))
        self.assertEqual(SERVICE_RUNNING, service_state(self.prefix))  # the start was waited for
        detection = service_events.wait_for_event("warning", r"Detection of Trojan.Gen in C:\Temp\t.exe by bob", 20)
        self.assertIsNotNone(detection, service_events.events())
        self.assertEqual(0x80000064, detection.event_id)  # 100 in the Event Viewer
        # A text that ends in a line break shows no empty line in the Event Viewer.
        monitoring = service_events.wait_for_event("information", "Monitoring directory ", 20)
        self.assertIsNotNone(monitoring, service_events.events())
        self.assertEqual(f"Monitoring directory {av.data_dir}Data\\Logs\\AV\\", monitoring.text)

        self.assertEqual([("information", "QARLOV service was stopped."),
                          ("information", "QARLOV was deinstalled as message provider."),
                          ("information", "QARLOV service was marked for deletion."),
                          ("information", "QARLOV removal completed.")], self.run_command("-R", 0))
        self.assertIn(service_state(self.prefix), (None, SERVICE_STOPPED))  # the stop was waited for
        self.assertIsNone(self.prefix.reg_query(PROVIDER_KEY, "EventMessageFile"))

    def test_exit_code_tells_whether_the_goal_holds(self):
        # Nothing installed, nothing configured. A warning carries Windows' reason, as on
        # the console.
        reason = r" -> \S.*"
        cases = [
            ("-RMP", 0, [("warning", r"Unable to delete registry key \[.*\]\. Error = 2\." + reason),
                         ("information", r"QARLOV was deinstalled as message provider\.")]),
            ("-RS", 0, [("warning", r"Could not open QARLOV service for removal\." + reason)]),
            ("-SP", 0, [("warning", r"Could not open the QARLOV service for stopping\." + reason)]),
            ("-SA", 1, [("warning", r"Could not open the QARLOV service for starting\." + reason)]),
            # The service installs but ends on its configuration error at once.
            ("-I", 1, [("information", r"QARLOV was installed as message provider\."),
                       ("information", r"QARLOV was installed as service\."),
                       ("warning", r"The QARLOV service stopped while starting \(exit code 1066, service exit "
                                   r"code 1\)\. Its error is in the Application event log\." + reason),
                       ("information", r"QARLOV install completed\.")]),
        ]
        for argument, exit_code, expected in cases:
            with self.subTest(argument=argument):
                events = self.run_command(argument, exit_code)
                self.assertEqual([kind for kind, _ in expected], [kind for kind, _ in events], events)
                for (_, pattern), (_, text) in zip(expected, events):
                    self.assertRegex(text, "^" + pattern + "$")


class QuotedPathTest(unittest.TestCase):
    """Installed from a folder with blanks, the service starts the program
    itself, not a C:\\Program.exe that the unquoted path would name."""

    def test_service_from_a_path_with_blanks_starts_the_program_not_a_decoy(self):
        prefix = self.enterContext(qh.WinePrefix())
        self.addCleanup(delete_service, prefix)
        events = qh.EventLogCapture(prefix)
        folder = prefix.drive_c / "Program Files" / "kestu QARLOV"
        folder.mkdir(parents=True)
        shutil.copy(qh.bin_path("qarlov.exe"), folder / "qarlov.exe")
        shutil.copy(qh.bin_path("qrecord.exe"), prefix.drive_c / "Program.exe")  # records any start
        record = prefix.drive_c / "qrecord.log"
        program = r"C:\Program Files\kestu QARLOV\qarlov.exe"
        qh.AvStandIn(prefix)
        qh.configure(prefix, rule=RULE, message=MESSAGE)

        result = qh.run_console(prefix, ["-IS"], timeout=60, program=program)
        self.assertEqual(0, result.exit_code, result.output)
        self.assertEqual(f'"{program}"', prefix.reg_query(SERVICE_KEY, "ImagePath"))
        result = qh.run_console(prefix, ["-SA"], timeout=60, program=program)
        self.assertEqual(0, result.exit_code, result.output)
        self.assertTrue(qh.wait_until(lambda: service_state(prefix) == SERVICE_RUNNING, 20))
        self.assertIsNotNone(events.wait_for_event(
            "information", "QARLOV ServiceMain called has been called by the Service Control Manager."))
        self.assertFalse(record.exists())


if __name__ == "__main__":
    unittest.main()
