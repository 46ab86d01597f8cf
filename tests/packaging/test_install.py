"""`cmake --install` of the current build tree into a temporary prefix, then
host projects built against what landed there: one through find_package
(CMake), one through pkg-config; plus the installed programs, man pages and
Python module, run from the prefix.

ctest sets the TOVLINK_* variables read below (tests/packaging/CMakeLists.txt).
"""

import filecmp
import glob
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from virtual_robot import VirtualRobot, required_environment

BUILD_DIR = required_environment("TOVLINK_BUILD_DIR")
SOURCE_DIR = required_environment("TOVLINK_SOURCE_DIR")
VERSION = required_environment("TOVLINK_VERSION")
CMAKE = required_environment("TOVLINK_CMAKE")
GENERATOR = required_environment("TOVLINK_GENERATOR")
C_COMPILER = required_environment("TOVLINK_C_COMPILER")
CXX_COMPILER = required_environment("TOVLINK_CXX_COMPILER")
# ","-separated; may be empty.
PROGRAMS = [name for name in os.environ.get("TOVLINK_PROGRAMS", "").split(",") if name]
SIM = required_environment("TOVLINK_SIM")
MAN_PAGES = [name for name in os.environ.get("TOVLINK_MAN_PAGES", "").split(",") if name]


def cached(name):
    """A value from the build tree's CMake cache (the install folders)."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            key, _, value = line.rstrip("\n").partition("=")
            if key.split(":")[0] == name:
                return value
    raise KeyError(f"{name} is not in {BUILD_DIR}/CMakeCache.txt")


LIBDIR = cached("CMAKE_INSTALL_LIBDIR")
PYTHON_DIR = cached("TOVLINK_PYTHON_INSTALL_DIR")

MAJOR = VERSION.split(".")[0]
COMMAND_TIMEOUT_S = 120
MISSING_PORT = os.path.join(tempfile.gettempdir(), "tovlink-no-such-port")


def run(command, **options):
    # errors="replace": the library writes two of its diagnostics in Shift-JIS.
    result = subprocess.run(command, capture_output=True, encoding="utf-8", errors="replace",
                            timeout=COMMAND_TIMEOUT_S,
                            **options)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def environment_without_library_paths(**extra):
    """The test's environment minus anything that would find the library
    for the program, so only the install's own paths can."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(extra)
    return env


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tovlink-install-")
        cls.prefix = os.path.join(cls.work, "prefix")
        run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix])
        cls.libdir = os.path.join(cls.prefix, LIBDIR)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def installed(self, *parts):
        return os.path.join(self.prefix, *parts)

    def assert_probe_output(self, output):
        self.assertEqual(output.splitlines(), [f"version {VERSION} 0", "connect 10001"])

    def test_shared_library_has_its_soname_and_version_links(self):
        real = f"libTovLinkLib.so.{VERSION}"
        soname = f"libTovLinkLib.so.{MAJOR}"
        self.assertEqual(os.readlink(os.path.join(self.libdir, "libTovLinkLib.so")), soname)
        self.assertEqual(os.readlink(os.path.join(self.libdir, soname)), real)
        real_path = os.path.join(self.libdir, real)
        self.assertTrue(os.path.isfile(real_path) and not os.path.islink(real_path))
        dynamic = run(["readelf", "-d", real_path])
        self.assertIn(f"Library soname: [{soname}]", dynamic)

    def test_header_and_package_files_are_installed(self):
        self.assertTrue(filecmp.cmp(self.installed("include", "tovlink.h"),
                                    os.path.join(SOURCE_DIR, "TovLinkLib", "include", "tovlink.h"),
                                    shallow=False))
        package_dir = os.path.join(self.libdir, "cmake", "TovLinkLib")
        for name in ("TovLinkLibConfig.cmake", "TovLinkLibConfigVersion.cmake",
                     "TovLinkLibTargets.cmake"):
            self.assertTrue(os.path.isfile(os.path.join(package_dir, name)), name)
        self.assertTrue(os.path.isfile(os.path.join(self.libdir, "pkgconfig", "tovlink.pc")))
        self.assertTrue(filecmp.cmp(self.installed("include", "tovlink", "robot.hpp"),
                                    os.path.join(SOURCE_DIR, "TovLinkLib", "include", "tovlink",
                                                 "robot.hpp"),
                                    shallow=False))
        self.assertTrue(os.path.isfile(os.path.join(self.libdir, "pkgconfig", "tovlink-cxx.pc")))

    def test_only_the_public_parts_are_installed(self):
        everything = [os.path.relpath(os.path.join(folder, name), self.prefix)
                      for folder, _, names in os.walk(self.prefix) for name in names]
        self.assertEqual([path for path in everything if path.endswith((".a", ".o"))], [])
        bin_dir = self.installed("bin")
        programs = sorted(os.listdir(bin_dir)) if os.path.isdir(bin_dir) else []
        self.assertEqual(programs, sorted(PROGRAMS))  # no test programs
        exported = ""
        for path in glob.glob(os.path.join(self.libdir, "cmake", "TovLinkLib", "*.cmake")):
            with open(path) as package_file:
                exported += package_file.read()
        self.assertIn("TovLinkLib::TovLinkLib", exported)
        self.assertIn("TovLinkLib::TovLinkCxx", exported)
        self.assertIn("TovLinkLib::TovLinkMotion", exported)
        for internal in ("tovlink_objects", "tovlink_core", "tovlink_sim", "tovlink_motion",
                         "Threads::Threads"):
            self.assertNotIn(internal, exported)

    def test_find_package_consumer_builds_and_runs(self):
        build = os.path.join(self.work, "consumer-cmake")
        run([CMAKE, "-S", os.path.join(SOURCE_DIR, "tests", "packaging", "consumer"), "-B", build,
             "-G", GENERATOR, f"-DCMAKE_PREFIX_PATH={self.prefix}",
             f"-DCMAKE_C_COMPILER={C_COMPILER}", f"-DCMAKE_CXX_COMPILER={CXX_COMPILER}",
             f"-DTOVLINK_EXAMPLES_DIR={os.path.join(SOURCE_DIR, 'examples')}"])
        with open(os.path.join(build, "CMakeCache.txt")) as cache_file:
            cache = cache_file.read()
        self.assertIn(f"TovLinkLib_DIR:PATH={os.path.join(self.libdir, 'cmake', 'TovLinkLib')}",
                      cache)
        run([CMAKE, "--build", build])
        # CMake gives the program the prefix's library folder as its run path.
        output = run([os.path.join(build, "consumer_probe"), MISSING_PORT],
                     env=environment_without_library_paths())
        self.assert_probe_output(output)
        for example in ("consumer_example_c", "consumer_example_cpp"):
            self.assertTrue(os.access(os.path.join(build, example), os.X_OK), example)
        self.assert_two_robots_driven(os.path.join(build, "consumer_two_robots"))
        self.assert_sessions_from_c(os.path.join(build, "consumer_sessions"))
        self.assert_motion_from_c(os.path.join(build, "consumer_motion"))

    def assert_two_robots_driven(self, program):
        """The C++ consumer drives two virtual robots at once and prints only its own lines."""
        with VirtualRobot(SIM) as first, VirtualRobot(SIM) as second:
            output = run([program, first.port, second.port],
                         env=environment_without_library_paths())
            self.assertEqual(len(output.splitlines()), 4, output)
            for sim in (first, second):
                self.assertIn(f"{sim.port}: motor 2 to 100", output)
                self.assertRegex(output, f"{sim.port}: battery [0-9]+ sensor")
                # The robot logs a line before it answers it, so it is there by now.
                self.assertTrue(any(line.startswith("#132,1,100") for line in sim.received()),
                                sim.received())

    def assert_sessions_from_c(self, program):
        """The C consumer of <tovlink/session.h>: two robots from two threads, a refusal and a
        time-out each told with sent and a message, a cancelled connect; only its own lines."""
        with VirtualRobot(SIM) as plain, VirtualRobot(SIM, "--ignore", "#800") as deaf, \
                VirtualRobot(SIM, "--silent") as silent:
            output = run([program, plain.port, deaf.port, silent.port],
                         env=environment_without_library_paths())
        refused = ("led 7 failed (invalid_argument, sent 0): led 7 on: LED 7 does not exist "
                   "(LEDs are 1-6)")
        self.assertEqual(re.sub(r"battery [0-9]+,", "battery N,", output).splitlines(), [
            f"{plain.port}: battery N, motor 2 to 55 (asked 10)",
            f"{plain.port}: {refused}",
            f"{plain.port}: who: WHO,TovSim,VR-0001",
            f"{deaf.port}: battery N, motor 2 to 55 (asked 10)",
            f"{deaf.port}: {refused}",
            f"{deaf.port}: who failed (receive_timeout, sent 1): query who: no complete reply from "
            "the robot within 1.5 s (the command was sent and may have acted)",
            f"{silent.port}: open ended within 100 ms after the cancel request (cancelled)",
        ], output)

    def assert_motion_from_c(self, program):
        """The C consumer of <tovlink/motion.h> through the CMake package: a shipped motion
        played at twice its speed, keyframe by keyframe on the wire; a refused motion with
        its field; a recording reduced to a motion."""
        nod = os.path.join(SOURCE_DIR, "motion", "motions", "nod.json")
        with open(nod, encoding="utf-8") as file:
            keyframes = json.load(file)["keyframes"]
        with VirtualRobot(SIM) as sim:
            lines = run([program, sim.port, nod], env=environment_without_library_paths()).splitlines()
            moves = [line for line in sim.received() if line.startswith("#151")]
        prefix = f"{sim.port}: "
        self.assertTrue(all(line.startswith(prefix) for line in lines), lines)
        lines = [line[len(prefix):] for line in lines]
        report = json.loads(lines[0].removeprefix("playing "))
        self.assertEqual((report["motion"], report["keyframes"], report["speed"]),
                         ("nod", len(keyframes), 2))
        self.assertEqual(lines[1:len(keyframes) + 2],
                         [f"keyframe {n} of {len(keyframes)} sent" for n in range(1, len(keyframes) + 1)]
                         + ["finished"])
        # Motor 2's angles in the file's order, each move in half the file's time.
        self.assertEqual([int(move.split(",")[2]) for move in moves],
                         [keyframe["angles"][1] for keyframe in keyframes])
        self.assertEqual(int(moves[1].split(",")[-1]), keyframes[1]["time_ms"] // 2)
        refused = lines[len(keyframes) + 2]
        self.assertRegex(refused, r"^refused \(invalid_argument, sent 0\): .*keyframes\[0\]\.angles\[6\]")
        recorded = json.loads(lines[-1].removeprefix("recorded "))
        self.assertEqual(recorded["motion"]["name"], "still")
        self.assertGreaterEqual(recorded["samples"], 10)
        self.assertGreaterEqual(recorded["keyframes"], 1)
        self.assertEqual(len(lines), len(keyframes) + 4, lines)

    def test_find_package_refuses_another_major_version(self):
        build = os.path.join(self.work, "consumer-major")
        os.makedirs(build)
        script = os.path.join(build, "CMakeLists.txt")
        with open(script, "w") as out:
            out.write("cmake_minimum_required(VERSION 3.25)\nproject(Major NONE)\n"
                      f"find_package(TovLinkLib {int(MAJOR) + 1} CONFIG)\n"
                      "message(STATUS \"found=${TovLinkLib_FOUND}\")\n")
        output = run([CMAKE, "-S", build, "-B", os.path.join(build, "b"),
                      f"-DCMAKE_PREFIX_PATH={self.prefix}"])
        self.assertIn("found=0", output)

    def test_pkg_config_consumer_builds_and_runs(self):
        env = environment_without_library_paths(
            PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"))
        self.assertEqual(run(["pkg-config", "--modversion", "tovlink"], env=env).strip(), VERSION)
        self.assertEqual(run(["pkg-config", "--variable=prefix", "tovlink"], env=env).strip(),
                         self.prefix)
        flags = run(["pkg-config", "--cflags", "--libs", "tovlink"], env=env).split()
        self.assertIn("-I" + self.installed("include"), flags)
        self.assertIn("-lTovLinkLib", flags)
        program = os.path.join(self.work, "consumer-pkg-config")
        run([C_COMPILER, os.path.join(SOURCE_DIR, "tests", "packaging", "consumer", "probe.c"),
             "-o", program, *flags], env=env)
        output = run([program, MISSING_PORT], env={**env, "LD_LIBRARY_PATH": self.libdir})
        self.assert_probe_output(output)

    def test_programs_run_from_the_prefix_with_their_man_pages(self):
        for name in PROGRAMS:
            with self.subTest(program=name):
                output = run([self.installed("bin", name), "--help"],
                             env=environment_without_library_paths())
                self.assertIn("--help", output)
        for name in MAN_PAGES:
            with self.subTest(man_page=name):
                with gzip.open(self.installed("share", "man", "man1", name), "rt") as page_file:
                    page = page_file.read()
                self.assertIn(".TH", page)
                self.assertIn(VERSION, page)
                # help2man passes other characters on for man to mangle ("1???6").
                self.assertTrue(page.isascii(), f"{name} is not plain ASCII")

    def test_each_program_links_at_most_one_tovlink_library(self):
        """The tool and the service stand on the session library alone; the virtual robot on none."""
        programs = [self.installed("bin", name) for name in PROGRAMS]
        if os.environ.get("TOVLINK_SERVICE") == "1":
            programs.append(self.installed("sbin", "tovlinkd"))
        for program in programs:
            with self.subTest(program=os.path.basename(program)):
                needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(libTovLink[^\]]*)\]",
                                    run(["readelf", "-d", program]))
                expected = [] if os.path.basename(program) == "tovlink-sim" else [
                    f"libTovLinkCxx.so.{MAJOR}"]
                self.assertEqual(needed, expected)

    def test_service_runs_from_the_prefix_with_its_units(self):
        if os.environ.get("TOVLINK_SERVICE") != "1":
            self.skipTest("this build has no robot service")
        output = run([self.installed("sbin", "tovlinkd"), "--help"],
                     env=environment_without_library_paths())
        self.assertIn("--sim", output)
        for unit in ("tovlinkd.service", "tovlinkd.socket"):
            self.assertTrue(os.path.isfile(self.installed("lib", "systemd", "system", unit)), unit)
        # The configuration file under the prefix (the unit names the
        # configured prefix's); the udev rule, with every adapter match.
        # The motions that come with it, where the daemon looks (beside sbin).
        for motion in ("wave", "nod", "bow"):
            self.assertTrue(os.path.isfile(self.installed("share", "tovlink", "motions",
                                                          motion + ".json")), motion)
        config = self.installed("etc", "tovlink", "tovlinkd.conf")
        with open(self.installed("lib", "systemd", "system", "tovlinkd.service")) as unit:
            self.assertRegex(unit.read(), r"\nExecStart=/\S*/sbin/tovlinkd --config "
                                          r"/\S*etc/tovlink/tovlinkd\.conf\n")
        result = subprocess.run([self.installed("sbin", "tovlinkd"), "--config", config,
                                 "--check-config"],
                                capture_output=True, text=True, timeout=30,
                                env=environment_without_library_paths())
        self.assertEqual(result.returncode, 2)
        self.assertIn("no robots", result.stderr)
        with open(self.installed("lib", "udev", "rules.d", "70-tovlink.rules")) as rule_file:
            rule = rule_file.read()
        self.assertNotIn("@", rule)
        self.assertIn('SYMLINK+="tovlink/$env{ID_SERIAL_SHORT}", GROUP="tovlink"', rule)
        self.assertEqual(rule.count('GOTO="tovlink_adapter"'), 4)
        page_path = self.installed("share", "man", "man8", "tovlinkd.8.gz")
        if os.path.exists(page_path):  # made where help2man is found
            with gzip.open(page_path, "rt") as page_file:
                page = page_file.read()
            self.assertTrue(page.isascii())
            for section in ("EXAMPLES", "FILES", "SIGNALS", "ENVIRONMENT", "--history"):
                self.assertIn(section.replace("-", "\\-"), page)

    def test_python_module_finds_the_installed_library_and_drives_a_robot(self):
        # The package loads one TovLink library, the session library: the
        # probe lists every TovLink file mapped into its process.
        probe = ("import os, sys, tovlink\n"
                 "print(tovlink.find_library()); print(tovlink.library_version())\n"
                 "with tovlink.Robot(sys.argv[1]) as robot:\n"
                 "    print(robot.move(2, 100).angle, robot.telemetry().positions[1])\n"
                 "with open('/proc/self/maps') as maps:\n"
                 "    print(sorted({os.path.basename(line.split()[-1]) for line in maps\n"
                 "                  if 'libTovLink' in line}))\n")
        env = environment_without_library_paths(PYTHONPATH=self.installed(PYTHON_DIR))
        with VirtualRobot(SIM) as sim:
            output = run([sys.executable, "-c", probe, sim.port], env=env, cwd=self.work)
        self.assertEqual(output.splitlines(),
                         [os.path.join(self.libdir, f"libTovLinkCxx.so.{MAJOR}"), VERSION,
                          "100 100", str([f"libTovLinkCxx.so.{VERSION}"])])

    def test_motion_library_exports_its_c_face_and_plays_from_python(self):
        library = os.path.join(self.libdir, f"libTovLinkMotion.so.{MAJOR}")
        self.assertTrue(os.path.isfile(library), library)
        self.assertTrue(os.path.isfile(self.installed("include", "tovlink", "motion.h")))
        self.assertTrue(os.path.isfile(self.installed("include", "tovlink", "session.hpp")))
        dynamic = run(["readelf", "-d", library])
        self.assertEqual(re.findall(r"\(NEEDED\)\s+Shared library: \[(libTovLink[^\]]*)\]",
                                    dynamic), [f"libTovLinkCxx.so.{MAJOR}"])
        exported = [line.split()[-1] for line in
                    run(["nm", "-D", "--defined-only", library]).splitlines()
                    if line.split()[1:2] == ["T"]]
        self.assertIn("tovlink_motion_play_start", exported)
        self.assertEqual([name for name in exported if not name.startswith("tovlink_motion_")],
                         [])
        # Python from the prefix finds it beside the session library.
        probe = ("import sys, tovlink\n"
                 "from tovlink import _library\n"
                 "print(_library.find_motion_library())\n"
                 "with tovlink.Robot(sys.argv[1]) as robot:\n"
                 "    print(robot.play({'format': 1, 'name': 'p', 'keyframes': [\n"
                 "        {'time_ms': 0, 'angles': [90, 90, 90, 90, 90, 90, 90]},\n"
                 "        {'time_ms': 100, 'angles': [90, 90, 90, 90, 90, 90, 100]}]})['state'])\n")
        env = environment_without_library_paths(PYTHONPATH=self.installed(PYTHON_DIR))
        with VirtualRobot(SIM) as sim:
            output = run([sys.executable, "-c", probe, sim.port], env=env, cwd=self.work)
            self.assertTrue(sim.wait_for_received("#151,090,090,090,090,090,090,100,0100\r\r"))
        self.assertEqual(output.splitlines(), [library, "finished"])


if __name__ == "__main__":
    unittest.main()
