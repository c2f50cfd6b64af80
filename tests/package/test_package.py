"""The Debian packages as a user gets them: unpacked into a scratch root, the
program, control fields, man page, completion and udev rule are checked, the
stand-ins run from where their package puts them, and lintian reads both.
UPDATER_DEB names the program's package (scripts/package prints it), by
default the one in build/release; the stand-ins' package lies beside it."""
import glob
import os
import re
import subprocess
import tempfile
import unittest

from tests.e2e.harness import ROOT, VERSION_LINE, expected

NOTICE = "Copyright (c) 2025 Veltrane. Firmware update and recovery for Tolvarine modules.\n"


def find_package():
    named = os.environ.get("UPDATER_DEB")
    if named:
        return named
    found = sorted(glob.glob(os.path.join(ROOT, "build", "release", "updater_*.deb")))
    return found[-1] if found else None


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kwargs)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="ascii") as f:
        return re.search(r"project\(Updater VERSION ([0-9.]+)", f.read()).group(1)


@unittest.skipUnless(find_package(), "no package built (scripts/package)")
class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = find_package()
        cls.standins_deb = os.path.join(os.path.dirname(cls.deb), "updater-standins_%s_all.deb" % project_version())
        cls._root = tempfile.TemporaryDirectory(prefix="updater-deb-")
        cls.root = os.path.join(cls._root.name, "root")
        cls.control_dir = os.path.join(cls._root.name, "DEBIAN")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control_dir], check=True)

    @classmethod
    def tearDownClass(cls):
        cls._root.cleanup()

    def path(self, relative):
        return os.path.join(self.root, relative)

    def control(self):
        fields = {}
        with open(os.path.join(self.control_dir, "control"), encoding="utf-8") as f:
            for line in f:
                if not line.startswith(" ") and ":" in line:
                    key, value = line.split(":", 1)
                    fields[key] = value.strip()
        return fields

    def test_file_name_and_contents(self):
        arch = run("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual(os.path.basename(self.deb), "updater_%s_%s.deb" % (project_version(), arch))
        files = sorted(os.path.relpath(os.path.join(folder, name), self.root)
                       for folder, _, names in os.walk(self.root) for name in names)
        self.assertEqual(files, [
            "usr/bin/Updater",
            "usr/lib/udev/rules.d/70-updater.rules",
            "usr/share/bash-completion/completions/Updater",
            "usr/share/doc/updater/changelog.gz",
            "usr/share/doc/updater/copyright",
            "usr/share/man/man1/Updater.1.gz",
            "usr/share/updater/updater-output.schema.json",
        ])

    def test_unpacked_program_prints_the_exact_usage(self):
        result = run(self.path("usr/bin/Updater"), "-h")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, VERSION_LINE + NOTICE, expected("usage_full.txt")))

    def test_control_fields_and_library_dependencies(self):
        fields = self.control()
        self.assertEqual(fields["Package"], "updater")
        self.assertEqual(fields["Version"], project_version())
        self.assertEqual(fields["Architecture"], run("dpkg", "--print-architecture").stdout.strip())
        for key in ("Maintainer", "Section", "Priority", "Description", "Installed-Size"):
            self.assertTrue(fields.get(key), key)
        # dpkg-shlibdeps found every shared library the program loads.
        depends = {d.strip().split()[0] for d in fields["Depends"].split(",")}
        for package in ("libc6", "libstdc++6", "libusb-1.0-0", "libhidapi-hidraw0", "libcurl4", "zlib1g",
                        "libzmq5", "libczmq4"):
            self.assertIn(package, depends)
        needed = run("objdump", "-p", self.path("usr/bin/Updater")).stdout
        self.assertIn("NEEDED", needed)

    def test_maintainer_scripts_reload_udev_rules_where_udevadm_exists(self):
        for name in ("postinst", "postrm"):
            script = os.path.join(self.control_dir, name)
            self.assertTrue(os.access(script, os.X_OK), name)
            with open(script, encoding="ascii") as f:
                text = f.read()
            self.assertIn("command -v udevadm", text)
            self.assertIn("udevadm control --reload-rules", text)
            self.assertEqual(run("sh", "-n", script).returncode, 0, name)
        # Without udevadm (as here) both succeed.
        self.assertEqual(run(os.path.join(self.control_dir, "postinst"), "configure",
                             env={"PATH": "/nonexistent"}).returncode, 0)

    def test_man_page_renders_without_warnings(self):
        page = self.path("usr/share/man/man1/Updater.1.gz")
        result = run("man", "--warnings", "-l", page, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING=""))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        text = re.sub(r".\x08", "", result.stdout)
        for heading in ("SYNOPSIS", "COMMANDS", "OPTIONS", "EXIT STATUS", "FILES", "ENVIRONMENT",
                        "USB PERMISSIONS", "EXAMPLES"):
            self.assertRegex(text, r"(?m)^%s$" % heading)
        for option in ("-D", "-U", "-G", "-B", "-L", "-J", "-N", "-d serial", "-b build", "-t transport",
                       "-r router", "-s port", "-o baud", "-f birdfile", "-i directory", "-u url", "-X mask"):
            self.assertIn(option, text)
        self.assertIn("HOME", text)
        self.assertIn(".settings", text)

    def test_completion_offers_the_transports_and_bird_files(self):
        script = self.path("usr/share/bash-completion/completions/Updater")
        with tempfile.TemporaryDirectory() as folder:
            for name in ("a.bird", "b.txt"):
                open(os.path.join(folder, name), "w").close()
            probe = ('source "$1"; complete_at() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _updater; '
                     'printf "%s\\n" "${COMPREPLY[@]}"; echo --; }; '
                     'complete_at Updater -t ""; complete_at Updater -f "$2/"; complete_at Updater -s U; '
                     'complete -p Updater')
            result = run("bash", "-c", probe, "probe", script, folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        transports, birds, ports, registered = result.stdout.split("--\n")
        self.assertEqual(transports.split(), ["USB", "TCP", "TCPIP", "RECOVER"])
        self.assertEqual(birds.split(), [os.path.join(folder, "a.bird")])
        self.assertEqual(ports.split(), ["USB"])
        self.assertEqual(registered.strip(), "complete -F _updater Updater")

    def test_udev_rule_is_well_formed_and_matches_the_devices(self):
        name = "70-updater.rules"
        self.assertLess(int(name.split("-")[0]), 73)  # before 73-seat-late.rules applies uaccess
        with open(self.path("usr/lib/udev/rules.d/" + name), encoding="ascii") as f:
            lines = [l.strip() for l in f if l.strip() and not l.lstrip().startswith("#")]
        pair = re.compile(r'^(?P<key>[A-Z_]+(?:\{[A-Za-z_]+\})?)(?P<op>==|!=|\+=|-=|:=|=)"(?P<value>[^"]*)"$')
        keys = {"ACTION", "SUBSYSTEM", "ENV{DEVTYPE}", "ATTR{idVendor}", "ATTR{idProduct}", "ATTRS{idVendor}",
                "ATTRS{idProduct}", "TAG", "MODE", "GROUP", "GOTO", "LABEL"}
        rules = []
        for line in lines:
            parts = [pair.match(p.strip()) for p in line.split(",")]
            self.assertTrue(all(parts), line)
            rule = {(p["key"], p["op"]): p["value"] for p in parts}
            self.assertLessEqual({key for key, _ in rule}, keys, line)
            rules.append(rule)
        labels = {r[("LABEL", "=")] for r in rules if ("LABEL", "=") in r}
        self.assertTrue(all(r[("GOTO", "=")] in labels for r in rules if ("GOTO", "=") in r))

        def granted(subsystem, attr, vendor, product=None):
            found = [r for r in rules if r.get(("SUBSYSTEM", "==")) == subsystem
                     and r.get((attr + "{idVendor}", "==")) == vendor
                     and r.get((attr + "{idProduct}", "==")) == product]
            return (any(r.get(("TAG", "+=")) == "uaccess" for r in found),
                    any(r.get(("GROUP", "=")) == "plugdev" and r.get(("MODE", "=")) == "0660" for r in found))

        self.assertEqual(granted("usb", "ATTR", "7a5c"), (True, True))
        self.assertEqual(granted("usb", "ATTR", "1fc9", "0130"), (True, True))
        self.assertEqual(granted("hidraw", "ATTRS", "1fc9", "0130"), (True, True))

    def test_standins_run_from_their_own_package(self):
        info = run("dpkg-deb", "--field", self.standins_deb, "Package", "Architecture", "Depends").stdout
        self.assertEqual(info.splitlines(), ["Package: updater-standins", "Architecture: all", "Depends: python3"])
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", self.standins_deb, root], check=True)
            sim = os.path.join(root, "usr", "share", "updater-standins", "sim")
            # The Python stand-ins, without the USB bridge (it needs umockdev
            # and a build).
            shipped = sorted(os.listdir(sim))
            self.assertEqual(shipped, sorted(n for n in os.listdir(os.path.join(ROOT, "sim")) if n.endswith(".py")))
            for program in ("module.py", "fleet.py", "update_server.py", "lpc_isp.py", "imx_sdp.py", "birdfile.py"):
                result = run("python3", os.path.join(sim, program), "--help", cwd=root)
                self.assertEqual(result.returncode, 0, program + result.stderr)
                self.assertIn("usage:", result.stdout)
            self.assertTrue(os.path.exists(os.path.join(root, "usr/share/doc/updater-standins/copyright")))

    def test_lintian_reports_no_errors(self):
        result = run("lintian", "--tag-display-limit", "0", self.deb, self.standins_deb)
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], result.stdout)


if __name__ == "__main__":
    unittest.main()
