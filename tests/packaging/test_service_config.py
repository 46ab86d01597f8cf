"""tovlinkd's configuration file: the daemon started from a file, the command
line winning over it, bad files refused at start with the file, the line
and the reason (and nothing started), --check-config, and the installed
sample file naming every option.

Run by ctest where tovlinkd is built (tests/packaging/CMakeLists.txt sets
TOVLINKD, TOVLINKD_SAMPLE_CONFIG and PYTHONPATH).
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import tovlink
from virtual_robot import required_environment

DAEMON = required_environment("TOVLINKD")
SAMPLE = required_environment("TOVLINKD_SAMPLE_CONFIG")
# Options that are about the file itself or only print something.
NOT_IN_FILE = {"help", "version", "config", "check-config"}


class ConfigFile(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tovlinkd-config-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def write(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        return path

    def run_daemon(self, *args):
        return subprocess.run([DAEMON, *args], capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)

    def test_daemon_runs_from_the_file_and_the_command_line_wins(self):
        file_socket = os.path.join(self.work, "from-file.sock")
        cli_socket = os.path.join(self.work, "from-cli.sock")
        config = self.write("tovlinkd.conf", f'# two virtual robots\nsim = ["arm", "leg"]\n'
                                             f'socket = "{file_socket}"\npoll-hz = 5\n')
        daemon = subprocess.Popen([DAEMON, "--config", config, "--socket", cli_socket],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            names = None
            deadline = time.monotonic() + 20
            while names is None and time.monotonic() < deadline:
                self.assertIsNone(daemon.poll(), "tovlinkd exited")
                try:
                    with tovlink.Client(cli_socket) as client:
                        names = sorted(robot["name"] for robot in client.devices())
                except tovlink.ServiceError:
                    time.sleep(0.2)
            self.assertEqual(names, ["arm", "leg"])
            self.assertFalse(os.path.exists(file_socket))
        finally:
            daemon.send_signal(signal.SIGTERM)
            _, errors = daemon.communicate(timeout=20)
        self.assertEqual(daemon.returncode, 0, errors)

    def test_a_bad_file_is_refused_with_its_file_line_and_reason(self):
        socket_path = os.path.join(self.work, "never.sock")
        cases = [
            # (file text, line, words of the reason)
            ('sim = arm\n\n# a comment\ncolour = "blue"\n', 4, "no such option: 'colour'"),
            ("sim = arm\npoll-hz = 500\n", 2, "--poll-hz: Value 500 not in range"),
            ("sim = arm\npoll-hz = fast\n", 2, "--poll-hz"),
            ('robot = ["arm=/dev/null", "leg"]\n', 1, "expected NAME=PORT[:BAUD], got 'leg'"),
            ('sim = ["a", "b"]\nrobot = "a=/dev/null"\n', 1, "robot name 'a' given twice"),
            ("sim = arm\nmqtt-user = robot\n", 2, "--mqtt-user requires --mqtt"),
            ("sim = arm\nlisten = 0.0.0.0:8080\n", 2, "needs --token-file"),
            ("sim = arm\nsite = room12\nmqtt = broker.lan:99999\n", 3, "--mqtt"),
            # A list may go on over lines; its error is on its key's line.
            ('sim = arm\nrobot = ["x=/dev/null",\n  "bad name=/dev/null"]\nverbose = yes\n', 2,
             "robot name 'bad name'"),
            ('sim = arm\nrobot = ["x=/dev/null",\n  "y=/dev/null"]\nverbose = maybe\n', 4,
             "--verbose"),
        ]
        for text, line, reason in cases:
            config = self.write("bad.conf", text)
            for extra in ([], ["--check-config"]):
                with self.subTest(text=text, extra=extra):
                    result = self.run_daemon("--config", config, "--socket", socket_path, *extra)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn(f"tovlinkd: {config}:{line}: ", result.stderr)
                    self.assertIn(reason, result.stderr)
                    self.assertEqual(result.stdout, "")
                    # Nothing was started: no socket, no robot's connect line.
                    self.assertFalse(os.path.exists(socket_path))
                    self.assertNotIn("connecting", result.stderr)

    def test_an_error_on_the_command_line_is_not_put_on_a_line_of_the_file(self):
        config = self.write("good.conf", "sim = arm\npoll-hz = 5\n")
        result = self.run_daemon("--config", config, "--poll-hz", "90", "--check-config")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--poll-hz: Value 90 not in range", result.stderr)
        self.assertNotIn(config, result.stderr)
        # And a value there replaces the file's.
        result = self.run_daemon("--config", config, "--sim", "other", "--check-config")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(),
                         "tovlinkd: the configuration is usable; robots: other (virtual)")

    def test_check_config_validates_and_exits(self):
        socket_path = os.path.join(self.work, "check.sock")
        token = self.write("token", "secret\n")
        config = self.write("good.conf", f'robot = ["arm=/dev/tovlink/A1:57600"]\nsim = "demo"\n'
                                         f'listen = "0.0.0.0:8080"\ntoken-file = "{token}"\n'
                                         f'socket = "{socket_path}"\n')
        result = self.run_daemon("--config", config, "--check-config")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(),
                         "tovlinkd: the configuration is usable; robots: arm (/dev/tovlink/A1) "
                         "demo (virtual); listen 0.0.0.0:8080")
        self.assertFalse(os.path.exists(socket_path))
        # The files the settings name are read too.
        os.remove(token)
        result = self.run_daemon("--config", config, "--check-config")
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot read the token file " + token, result.stderr)
        # An empty --config reads no file at all.
        result = self.run_daemon("--config", "", "--sim", "x", "--check-config")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("robots: x (virtual)", result.stdout)
        missing = os.path.join(self.work, "missing.conf")
        result = self.run_daemon("--config", missing, "--check-config")
        self.assertEqual(result.returncode, 2)
        self.assertIn(missing, result.stderr)

    def test_the_sample_file_names_every_option_and_is_usable(self):
        help_text = self.run_daemon("--help").stdout
        options = set(re.findall(r"--([a-z][a-z0-9-]+)", help_text)) - NOT_IN_FILE
        with open(SAMPLE, encoding="utf-8") as file:
            sample = file.read()
        keys = set(re.findall(r"^#?([a-z][a-z0-9-]*) = ", sample, re.MULTILINE))
        self.assertGreater(len(options), 10)
        self.assertEqual(options - keys, set(), "options missing from the sample file")
        self.assertEqual(keys - options, set(), "keys of the sample file that are no options")
        # As installed (everything commented out) it names no robot; with its
        # robot and listen lines taken in, it is usable as written.
        result = self.run_daemon("--config", SAMPLE, "--check-config")
        self.assertEqual(result.returncode, 2)
        self.assertIn("no robots", result.stderr)
        enabled = re.sub(r"^#((?:robot|sim|poll-hz|listen|max-clients|verbose) = )", r"\1",
                         sample, flags=re.MULTILINE)
        result = self.run_daemon("--config", self.write("enabled.conf", enabled),
                                 "--check-config")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("robots: arm (/dev/tovlink/A1B2C3) leg (/dev/tovlink/D4E5F6) "
                      "demo (virtual); listen 127.0.0.1:8080", result.stdout)


if __name__ == "__main__":
    unittest.main()
