"""Log-file monitoring end to end: qarlov.exe -CONSOLE with a stand-in antivirus
data folder reads today's day file at start, handles exactly the new matching
lines (the Message action prints one WARNING line per handled line, and the
registry keeps the scan position), handles an appended line at once, also
one whose time is an hour older, repeats nothing after a restart, handles
only the new lines of a day file written anew, handles a line written in two
parts once it is complete and the lines after a hole of zero bytes, reads a
missing day file once it exists, stops on Ctrl-C or a console close, and
loses no line at midnight, nor in the previous day's file or the days since
at start."""
import datetime
import pathlib
import re
import time
import unittest

import e2e_support as es
import qarlov_harness as qh

MESSAGE = dict(message="HANDLED %04 %00")
HANDLED = re.compile(r"  WARNING  HANDLED (\S+) ")
CTRL_C_LINE = "  CRL-C detected. Shutting down QARLOV.\n"
CLOSE_LINE = "  CRL-Close detected. Shutting down QARLOV.\n"
WATCHER_LINE = "  Shutting down log file monitor routine. QARLOV is about to stop.\n"
RELEASE_LINE = "  Deallocation of global variables and closing of open handles.\n"


def handled(output):
    """The computer fields of the lines whose actions ran, in order."""
    return HANDLED.findall(output)


class MonitorTest(es.MonitorTestCase):
    def setUp(self):
        super().setUp()
        self.today = datetime.date.today()
        self.morning = datetime.datetime.combine(self.today, datetime.time(8, 0, 0))

    def at(self, seconds):
        return self.morning + datetime.timedelta(seconds=seconds)

    def line(self, computer, seconds, **fields):
        return self.av.log_line(time=self.at(seconds), computer=computer, **fields)

    def position(self):
        return es.scan_position(self.prefix)

    def stop(self, run, kind="c", line=CTRL_C_LINE):
        output = super().stop(run, kind)
        self.assert_in_order(output, line, WATCHER_LINE)
        return output

    def offset(self):
        return self.prefix.reg_query(qh.QARLOV_KEY, "OFFSET")

    def test_handles_exactly_the_new_lines_then_appended_ones_and_a_restart_repeats_nothing(self):
        qh.configure(self.prefix, instance=0, timestamp=qh.time_field(self.at(10)), filename="01012000.Log",
                     message=MESSAGE)
        self.av.append([self.line("OLD", 5), self.line("STORED", 10), self.line("NEW1", 10),
                        self.line("OTHER", 20, event=5), self.line("NEW2", 20), self.line("NEW3", 20)])
        run = self.start()
        self.assertEqual(["NEW1", "NEW2", "NEW3"], handled(run.output()))
        self.assertEqual((1, qh.time_field(self.at(20)), qh.day_file_name(self.today)), self.position())

        appended = time.monotonic()
        self.av.append(self.line("NEW4", 30))
        self.assertTrue(run.wait_for(re.compile(r"HANDLED NEW4 "), 5), run.output())
        self.assertLess(time.monotonic() - appended, 1.0)
        self.assertEqual(["NEW1", "NEW2", "NEW3", "NEW4"], handled(run.output()))
        self.assertEqual((0, qh.time_field(self.at(30)), qh.day_file_name(self.today)), self.position())

        # The clock was put back an hour: the line is new all the same.
        self.av.append(self.line("BACK", 30 - 3600))
        self.assertTrue(run.wait_for(re.compile(r"HANDLED BACK "), 5), run.output())
        self.stop(run)
        self.assertEqual(["NEW1", "NEW2", "NEW3", "NEW4", "BACK"], handled(run.output()))
        self.assertEqual((0, qh.time_field(self.at(30 - 3600)), qh.day_file_name(self.today)), self.position())
        self.assertEqual(self.av.day_file().stat().st_size, self.offset())

        # A restart goes on from the stored offset: nothing again, the next line once.
        run = self.start()
        time.sleep(0.5)
        self.av.append(self.line("NEW5", 31 - 3600))
        self.assertTrue(run.wait_for(re.compile(r"HANDLED NEW5 "), 5), run.output())
        self.assertEqual(["NEW5"], handled(run.output()))
        self.assertEqual((0, qh.time_field(self.at(31 - 3600)), qh.day_file_name(self.today)), self.position())
        self.assertEqual(self.av.day_file().stat().st_size, self.offset())
        self.stop(run)

    def test_a_day_file_truncated_and_written_anew_has_only_its_new_lines_handled(self):
        qh.configure(self.prefix, message=MESSAGE)
        handled_before = [self.line("DONE1", 10), self.line("DONE2", 20)]
        self.av.append(handled_before)
        run = self.start()
        self.assertEqual(["DONE1", "DONE2"], handled(run.output()))

        self.av.day_file().write_text("")
        self.av.append([handled_before[1], self.line("NEW", 30)])
        self.assertTrue(run.wait_for(re.compile(r"HANDLED NEW "), 5), run.output())
        time.sleep(1)
        output = self.stop(run)
        self.assertEqual(["DONE1", "DONE2", "NEW"], handled(output))
        self.assertIn(" no longer holds what was read up to byte ", output)
        self.assertEqual(self.av.day_file().stat().st_size, self.offset())

    def test_a_save_of_the_position_interrupted_by_the_end_of_the_process_is_finished_at_start(self):
        # The process ended after it had written INSTANCE 0 for the first line of a new
        # second but before TIMESTAMP: the stored values alone would hand out the
        # earlier second's later lines again.
        day_file = qh.day_file_name(self.today)
        qh.configure(self.prefix, instance=0, timestamp=qh.time_field(self.at(10)), filename=day_file,
                     message=MESSAGE)
        self.prefix.reg_add(qh.QARLOV_KEY, "PENDINGPOSITION", "REG_MULTI_SZ",
                            [qh.time_field(self.at(11)), "0", day_file])
        self.av.append([self.line("DONE1", 10), self.line("DONE2", 10), self.line("DONE3", 10),
                        self.line("DONE4", 11), self.line("NEW", 11)])
        run = self.start()
        self.assertEqual(["NEW"], handled(run.output()))
        self.assertIn("  Completing the interrupted save of the scan position "
                      f"{qh.time_field(self.at(11))}, instance 0, file {day_file}.\n", run.output())
        values = self.prefix.reg_values(qh.QARLOV_KEY)
        self.assertNotIn("PENDINGPOSITION", values)
        self.assertEqual((1, qh.time_field(self.at(11)), day_file), self.position())
        self.stop(run)

    def test_without_a_scan_position_it_starts_from_now(self):
        # A fresh installation: the settings only, no INSTANCE, TIMESTAMP or FILENAME.
        qh.configure(self.prefix, instance=None, timestamp=None, filename=None, message=MESSAGE)
        self.av.append([self.line("OLD1", 1), self.line("OLD2", 2)])
        size = self.av.day_file().stat().st_size
        run = self.start()
        self.assertIn("  No scan position in the registry: starting from now, at byte "
                      f"{size} of the log file {self.prefix.windows_path(self.av.day_file())}.\n", run.output())
        self.assertEqual(size, self.offset())
        self.assertEqual(qh.day_file_name(self.today), self.position()[2])

        self.av.append(self.line("NEW", 3))
        self.assertTrue(run.wait_for(re.compile(r"HANDLED NEW "), 5), run.output())
        self.assertEqual(["NEW"], handled(self.stop(run)))

    def test_a_second_monitor_ends_at_once_and_the_first_goes_on(self):
        qh.configure(self.prefix, message=MESSAGE)
        first = self.start()
        second = qh.run_console(self.prefix, ["-CONSOLE"])
        self.assertEqual(1, second.exit_code, second.output)
        self.assertRegex(second.output, es.error_entry("Another QARLOV monitor is already running on this machine."))
        self.assertNotIn("Action rule:", second.output)  # ended before the settings were loaded

        self.av.append(self.line("FIRST", 1))
        self.assertTrue(first.wait_for(re.compile(r"HANDLED FIRST "), 5), first.output())
        self.stop(first)

    def test_a_line_written_in_two_appends_is_handled_once_and_complete(self):
        qh.configure(self.prefix, message=dict(message="HANDLED %04 %00 %07"))
        self.av.append(self.line("FIRST", 1))
        run = self.start()
        self.assertEqual(["FIRST"], handled(run.output()))

        line = self.line("SPLIT", 2)
        cut = line.index("eicar.com") + 3  # inside field 8
        self.av.append(line[:cut])
        self.assertTrue(run.wait_for(f"  File {qh.day_file_name(self.today)} changed.\n", 5), run.output())
        time.sleep(1)
        self.assertEqual(["FIRST"], handled(run.output()))

        self.av.append(line[cut:])
        self.assertTrue(run.wait_for(re.compile(r"HANDLED SPLIT "), 5), run.output())
        time.sleep(1)
        self.assertEqual(["FIRST", "SPLIT"], handled(run.output()))
        self.assertIn(f"  WARNING  HANDLED SPLIT {self.at(2):%d.%m.%Y %H:%M:%S} "
                      "C:\\Users\\alice\\Downloads\\eicar.com\n", run.output())
        self.assertEqual((0, qh.time_field(self.at(2)), qh.day_file_name(self.today)), self.position())
        self.stop(run)

    def test_at_start_the_unhandled_lines_of_the_stored_previous_day_file_come_first(self):
        yesterday = self.today - datetime.timedelta(days=1)
        evening = datetime.datetime.combine(yesterday, datetime.time(23, 0, 0))
        qh.configure(self.prefix, instance=0, timestamp=qh.time_field(evening),
                     filename=qh.day_file_name(yesterday), message=MESSAGE)
        self.av.append([self.av.log_line(time=evening, computer="DONE"),
                        self.av.log_line(time=evening + datetime.timedelta(seconds=30), computer="LATE")],
                       date=yesterday)
        self.av.append(self.line("TODAY", 1))
        run = self.start()
        self.assertEqual(["LATE", "TODAY"], handled(run.output()))
        self.assertEqual((0, qh.time_field(self.at(1)), qh.day_file_name(self.today)), self.position())
        self.stop(run)

    def test_the_lines_after_a_hole_of_zero_bytes_are_handled(self):
        # A write lost in a crash leaves zero bytes, and the product writes on after them.
        qh.configure(self.prefix, message=MESSAGE)
        first = self.line("L1", 1)
        self.av.append([first, b"\0" * 4096, self.line("L2", 2)])
        run = self.start()
        self.av.append(self.line("L3", 3))
        self.assertTrue(run.wait_for(re.compile(r"HANDLED L3 "), 5), run.output())
        output = self.stop(run)
        self.assertEqual(["L1", "L2", "L3"], handled(output))
        self.assertEqual(1, len(re.findall(rf"  WARNING  The log file \S+{qh.day_file_name(self.today)} holds 4096 "
                                           rf"zero bytes from byte {len(first)} on", output)), output)
        self.assertEqual(self.av.day_file().stat().st_size, self.offset())

    def test_after_an_outage_of_days_every_day_file_since_the_stored_one_is_read_in_date_order(self):
        days = [self.today - datetime.timedelta(days=back) for back in (3, 2, 1, 0)]
        qh.configure(self.prefix, filename=qh.day_file_name(days[0]), message=MESSAGE)
        for day in days:
            self.av.append(self.av.log_line(time=datetime.datetime.combine(day, datetime.time(8, 0, 0)),
                                            computer=qh.day_file_name(day)), date=day)
        run = self.start()
        self.assertEqual([qh.day_file_name(day) for day in days], handled(run.output()))
        self.assertEqual((0, qh.time_field(self.morning), qh.day_file_name(self.today)), self.position())
        self.stop(run)

    def test_a_missing_day_file_is_read_once_it_exists(self):
        qh.configure(self.prefix, message=MESSAGE)
        run = self.start()
        self.assertNotIn("  WARNING  ", run.output())

        (self.av.log_dir / "other.txt").write_bytes(b"x")
        missing = (f"  WARNING  Directory content changed but log file {qh.day_file_name(self.today)} "
                   "was not found.")
        self.assertTrue(run.wait_for(missing, 5), run.output())
        self.assertEqual([], handled(run.output()))

        self.av.append(self.line("FIRST", 1))
        self.assertTrue(run.wait_for(f"  File {qh.day_file_name(self.today)} changed.\n", 5), run.output())
        self.assertTrue(run.wait_for(re.compile(r"HANDLED FIRST "), 5), run.output())
        self.stop(run)

    def test_a_console_close_stops_the_watcher(self):
        qh.configure(self.prefix, message=MESSAGE)
        self.av.append(self.line("FIRST", 1))
        run = self.start()
        self.stop(run, "close", CLOSE_LINE)

    def test_the_waiting_monitor_has_loaded_no_window_or_shell_code(self):
        # Wine's console takes no icon, so user32 and with it the display
        # driver must stay out of a monitor that may wait for days.
        qh.configure(self.prefix, message=MESSAGE)
        self.av.append(self.line("FIRST", 1))
        run = self.start()
        self.assertTrue(run.wait_for(re.compile(r"HANDLED FIRST "), 5), run.output())
        pid = qh.linux_pid(self.prefix, "qarlov.exe -CONSOLE")
        maps = pathlib.Path(f"/proc/{pid}/maps").read_text().lower()
        self.assertIn("advapi32.dll", maps)
        for module in ("user32.dll", "shell32.dll", "gdi32.dll", "win32u.dll", "winex11.drv"):
            self.assertNotIn(module, maps)
        self.stop(run)

    def test_without_debug_output_the_stop_is_silent(self):
        qh.configure(self.prefix, debug_output=0, message=MESSAGE)
        self.av.append(self.line("FIRST", 1))
        run = self.start(wait=False)
        self.assertTrue(run.wait_for(re.compile(r"HANDLED FIRST "), 30), run.output())
        time.sleep(0.3)
        run.send_ctrl("c")
        self.assertEqual(0, run.wait(30))
        self.assertNotIn("Shutting down", run.output())
        self.assertNotIn("CRL-C", run.output())

    def test_ctrl_c_while_the_first_reading_waits_ends_the_program(self):
        qh.configure(self.prefix, rule=dict(wait_before_action=8000), message=MESSAGE)
        self.av.append(self.line("FIRST", 1))
        run = self.start(wait=False)
        self.assertTrue(run.wait_for("Action rule:", 30), run.output())
        time.sleep(0.5)
        started = time.monotonic()
        run.send_ctrl("c")
        self.assertEqual(0, run.wait(30), run.output())
        self.assertLess(time.monotonic() - started, 5)
        output = run.output()
        self.assert_in_order(output, CTRL_C_LINE, RELEASE_LINE)
        self.assertEqual([], handled(output))

    def test_ctrl_c_while_a_notification_is_handled_ends_the_program_and_the_line_is_kept(self):
        qh.configure(self.prefix, rule=dict(wait_before_action=6000), message=MESSAGE)
        self.av.append(self.line("FIRST", 1))
        run = self.start()
        saved = self.position()
        self.av.append(self.line("SECOND", 2))
        time.sleep(0.5)  # the watcher now sleeps WaitBeforeAction before reading
        run.send_ctrl("c")
        self.assertEqual(0, run.wait(30), run.output())
        output = run.output()
        # The stop ends the wait before the reading, and with it the watcher.
        self.assert_in_order(output, CTRL_C_LINE, WATCHER_LINE, RELEASE_LINE)
        self.assertEqual(["FIRST"], handled(output))
        self.assertEqual(saved, self.position())

        # Not handled before the stop, so the next start handles it.
        qh.configure(self.prefix, instance=saved[0], timestamp=saved[1], filename=saved[2], message=MESSAGE)
        run = self.start()
        self.assertEqual(["SECOND"], handled(run.output()))
        self.stop(run)

    def test_no_line_is_lost_at_midnight(self):
        # The program's local time zone puts midnight a few seconds ahead.
        utc = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        before_midnight = datetime.datetime.combine(utc.date(), datetime.time(23, 59, 52))
        offset = int((before_midnight - utc).total_seconds()) % 86400
        tz = "XXX-%02d:%02d:%02d" % (offset // 3600, offset // 60 % 60, offset % 60)

        def local_now():
            return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None) + datetime.timedelta(
                seconds=offset)

        day = local_now().date()
        next_day = day + datetime.timedelta(days=1)
        late = datetime.datetime.combine(day, datetime.time(23, 59, 50))
        qh.configure(self.prefix, filename=qh.day_file_name(day), message=MESSAGE)
        self.av.append(self.av.log_line(time=late, computer="EVENING"), date=day)
        run = self.start(env_extra={"TZ": tz})
        self.assertEqual(["EVENING"], handled(run.output()))
        self.assertLess(local_now(), datetime.datetime.combine(next_day, datetime.time()), "started too late")

        self.av.append(self.av.log_line(time=late + datetime.timedelta(seconds=1), computer="BEFORE"), date=day)
        self.assertTrue(run.wait_for(re.compile(r"HANDLED BEFORE "), 5), run.output())

        self.assertTrue(qh.wait_until(lambda: local_now() > datetime.datetime.combine(next_day, datetime.time(0, 0, 1)),
                                   30))
        # Written after midnight to the previous day's file (a late write).
        self.av.append(self.av.log_line(time=late + datetime.timedelta(seconds=9), computer="LATE"), date=day)
        self.assertTrue(run.wait_for(re.compile(r"HANDLED LATE "), 5), run.output())
        self.assertEqual((0, qh.time_field(late + datetime.timedelta(seconds=9)), qh.day_file_name(day)),
                         self.position())

        after = datetime.datetime.combine(next_day, datetime.time(0, 0, 5))
        self.av.append(self.av.log_line(time=after, computer="MORNING"), date=next_day)
        self.assertTrue(run.wait_for(re.compile(r"HANDLED MORNING "), 5), run.output())
        self.assertEqual(["EVENING", "BEFORE", "LATE", "MORNING"], handled(run.output()))
        self.assertEqual((0, qh.time_field(after), qh.day_file_name(next_day)), self.position())
        self.stop(run)


if __name__ == "__main__":
    unittest.main()
