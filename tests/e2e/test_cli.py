"""The command line: usage texts, parse failures, exit statuses and the
updater directory, compared byte for byte."""
import os
import stat
import unittest

from tests.e2e.harness import VERSION_LINE, UpdaterTestCase, expected, run_updater

NOTICE = "Copyright (c) 2025 Veltrane. Firmware update and recovery for Tolvarine modules.\n"
BANNER = VERSION_LINE + NOTICE
SHORT = expected("usage_short.txt")


class Usage(UpdaterTestCase):
    def test_no_arguments_prints_short_usage(self):
        self.assertOutput(run_updater(), 0, BANNER, SHORT)

    def test_every_help_option_prints_full_usage(self):
        for option in ("-h", "-H", "--help"):
            with self.subTest(option=option):
                self.assertOutput(self.run_cli(option), 0, BANNER, expected("usage_full.txt"))

    def test_unique_abbreviation_of_help(self):
        self.assertOutput(self.run_cli("--he"), 0, BANNER, expected("usage_full.txt"))

    def test_debug_mask_before_help_adds_extended_list(self):
        self.assertOutput(self.run_cli("-X", "1", "-h"), 0, BANNER, expected("usage_extended.txt"))

    def test_options_after_help_are_not_read(self):
        self.assertOutput(self.run_cli("-h", "-X", "1"), 0, BANNER, expected("usage_full.txt"))
        self.assertOutput(self.run_cli("-h", "-Y"), 0, BANNER, expected("usage_full.txt"))

    def test_parameters_without_command_print_short_usage(self):
        self.assertOutput(self.run_cli("-d", "40F5849A"), 0, BANNER, SHORT)
        self.assertFalse(os.path.exists(self.app_dir))


class ParseFailures(UpdaterTestCase):
    def assertParseFailure(self, args, message):
        result = self.run_cli(*args)
        self.assertOutput(result, 1, BANNER, message + "\n" + SHORT)
        # Nothing is created on disk before the directory step.
        self.assertFalse(os.path.exists(self.app_dir))

    def test_unhandled_command(self):
        self.assertParseFailure(["-Y"], "Unhandled command: [-Y]")

    def test_invalid_serial_numbers(self):
        for text, shown in (("0", "0"), ("0x0", "0"), ("12G4", "12G4"), ("0x", ""), ("1FFFFFFFF", "1FFFFFFFF")):
            with self.subTest(serial=text):
                self.assertParseFailure(["-d", text, "-B"], f"Invalid serial number obtained from argument [{shown}]")

    def test_invalid_router_serial(self):
        self.assertParseFailure(["-r", "xyz", "-D"], "Invalid router serial number obtained from argument [xyz]")

    def test_transport_is_case_sensitive(self):
        self.assertParseFailure(["-t", "usb", "-D"],
                                "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER")

    def test_failed_entry_does_not_stop_later_options(self):
        result = self.run_cli("-Y", "-d", "0", "-B")
        self.assertOutput(result, 1, BANNER, "Unhandled command: [-Y]\n"
                          "Invalid serial number obtained from argument [0]\n" + SHORT)

    def test_unknown_words_and_missing_arguments_are_ignored(self):
        # "-q" is no option and "-d" lacks its argument: both skipped silently.
        self.assertOutput(self.run_cli("-q", "-I", "-d"), 0, VERSION_LINE, "")

    def test_unprocessed_debug_mask_characters_warn_only(self):
        result = self.run_cli("-X", "12zz", "-I")
        self.assertOutput(result, 0, VERSION_LINE,
                          'Invalid format for "-X" parameter, unprocessed characters [zz]\n')


class ParameterValues(UpdaterTestCase):
    def test_serial_with_and_without_prefix_select_the_same_device(self):
        plain = self.run_cli("-d", "40F5849A", "-L")
        prefixed = self.run_cli("-d", "0x40F5849A", "-L")
        self.assertEqual(plain.out, prefixed.out)
        self.assertIn("No builds found for device [40F5849A]\n", plain.out)

    def test_prefix_is_logged_under_updater_category(self):
        result = self.run_cli("-X", "1", "-d", "0x40F5849A", "-L")
        self.assertIn("Discarding '0x' serial number prefix\n", result.err)

    def test_transport_names(self):
        for name, label in (("USB", "USB"), ("TCP", "TCPIP"), ("TCPIP", "TCPIP"), ("RECOVER", "USB")):
            with self.subTest(transport=name):
                result = self.run_cli("-D", "-t", name)
                self.assertEqual(result.status, 0, repr(result))
                self.assertIn(f"Discovered Devices: ({label})\n", result.out)

    def test_router_discovery_with_recover_transport_is_unknown(self):
        result = self.run_cli("-D", "-r", "D272031D", "-t", "RECOVER")
        self.assertEqual(result.status, 0, repr(result))
        self.assertIn("Searching for Tolvarine Network devices connected to D272031D\n", result.out)
        self.assertIn("Discovered Devices: (Unknown)\n", result.out)

    def test_build_that_is_not_a_number_means_latest(self):
        result = self.run_cli("-G", "-d", "40F5849A", "-b", "12x", "-u", "http://127.0.0.1:9/cgi/u")
        self.assertIn("Retrieving firmware for device with serial number 40F5849A\n"
                      "Retrieving firmware build 0\n", result.out)

    def test_get_without_build_announces_latest(self):
        result = self.run_cli("-G", "-d", "40F5849A", "-u", "http://127.0.0.1:9/cgi/u")
        self.assertIn("No build specified\nUsing Latest build\n", result.out)
        self.assertEqual(result.status, 1)


class MissingParameters(UpdaterTestCase):
    def test_commands_that_need_a_serial_number(self):
        cases = (("-B", "Error must supply a serial number for the List Builds command\n" + SHORT),
                 ("-L", "Error must supply a serial number for the List Local Builds command\n" + SHORT),
                 ("-J", "Error must supply a serial number for the Get JWT command\n" + SHORT),
                 ("-G", "-G must specify a specific device via -d\n--help for usage information\n"),
                 ("-U", "Must specify the specific device to be updated\n"))
        for command, err in cases:
            with self.subTest(command=command):
                self.assertOutput(self.run_cli(command), 1, VERSION_LINE, err)

    def test_fingerprint_needs_a_serial_port(self):
        self.assertOutput(self.run_cli("-N"), 1, VERSION_LINE, "Must specify the serial port used for connecting\n")

    def test_info_alone_prints_only_the_version(self):
        self.assertOutput(self.run_cli("-I"), 0, VERSION_LINE, "")
        self.assertOutput(self.run_cli("-C"), 0, VERSION_LINE, "")


class UpdaterDirectory(UpdaterTestCase):
    def test_new_directory_is_created_with_mode_0755(self):
        self.assertOutput(self.run_cli("-I"), 0, VERSION_LINE, "")
        for path in (self.app_dir, self.store):
            with self.subTest(path=path):
                self.assertTrue(os.path.isdir(path))
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o755)

    def test_directory_that_is_a_file_is_reported(self):
        with open(self.app_dir, "w") as f:
            f.write("not a directory")
        result = self.run_cli("-I")
        self.assertOutput(result, 1, VERSION_LINE, f"Could not find updater directory at {self.store}\n")


if __name__ == "__main__":
    unittest.main()
