"""Shared helpers for the end-to-end tests: run the built Updater and compare
what it prints and returns."""
import os
import pwd
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXPECTED = os.path.join(ROOT, "tests", "e2e", "expected")
UPDATER = os.environ.get("UPDATER_BIN", os.path.join(ROOT, "build", "asan", "app", "Updater"))

VERSION_LINE = "Updater (Version: 2.11.4 Sep 23 2025)\n"


def expected(name):
    with open(os.path.join(EXPECTED, name), encoding="ascii") as f:
        return f.read()


class Result:
    def __init__(self, completed):
        self.status = completed.returncode
        self.out = completed.stdout.decode("latin-1")
        self.err = completed.stderr.decode("latin-1")

    def __repr__(self):
        return f"status={self.status}\n--- stdout\n{self.out}--- stderr\n{self.err}"


def run_updater(*args, timeout=120, env=None, cwd=None, user=None):
    """USER runs it without root's privileges (the tests run as root, whom
    no file mode stops)."""
    full_env = dict(os.environ)
    full_env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
    if env:
        full_env.update(env)
    command = [UPDATER, *args]
    if user is not None:
        entry = pwd.getpwnam(user)
        full_env["HOME"] = entry.pw_dir
        command = ["setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}", "--clear-groups", *command]
    completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=timeout, env=full_env, cwd=cwd, preexec_fn=lambda: os.umask(0o022))
    return Result(completed)


class UpdaterTestCase(unittest.TestCase):
    """A test with its own scratch directory; `app_dir` is handed to -i."""

    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="updater-e2e-")
        self.scratch = self._scratch.name
        self.app_dir = os.path.join(self.scratch, "veltrane")
        self.store = os.path.join(self.app_dir, "updater")

    def tearDown(self):
        self._scratch.cleanup()

    def run_cli(self, *args, **kwargs):
        return run_updater("-i", self.app_dir, *args, **kwargs)

    def assertOutput(self, result, status, out, err):
        self.assertEqual((result.status, result.out, result.err), (status, out, err), repr(result))


SCHEMA = os.path.join(ROOT, "dist", "updater-output.schema.json")


def json_document(test, result):
    """The one document a --json run printed, checked against the schema: the
    whole of standard output, its "ok" the exit status, its errors those that
    standard error shows."""
    import json
    import jsonschema
    test.assertTrue(result.out.endswith("\n") and result.out.count("\n") == 1, repr(result))
    document = json.loads(result.out.encode("latin-1").decode("utf-8"))
    with open(SCHEMA, encoding="utf-8") as source:
        jsonschema.Draft202012Validator(json.load(source)).validate(document)
    test.assertEqual(document["ok"], result.status == 0, repr(result))
    for error in document["errors"]:
        test.assertIn(error, result.err.encode("latin-1").decode("utf-8", "replace"))
    return document
