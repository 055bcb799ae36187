"""The scripts' macOS branches, run here with stand-ins on PATH: uname answers Darwin, and
brew, defaults, killall, lipo, xcode-select and the build tools record their calls. The
apt tools are stand-ins too, so that a Mac's branch that reached them would be seen, and
would install nothing."""
import os
import pathlib
import signal
import subprocess
import tempfile
import time
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
FORMULAE = "cmake ninja pkg-config utf8proc googletest llvm check-jsonschema"

# Each stand-in records its call, then does what its body says; the tests steer the
# bodies through the environment.
STAND_INS = {
    "uname": "echo Darwin",
    "xcode-select": '[ -z "$NO_COMMAND_LINE_TOOLS" ]',
    "brew": 'case $1 in list) printf "%s\\n" $INSTALLED ;; --prefix) echo /nonexistent ;; esac',
    "lipo": 'echo "$ARCHS"',
    "defaults": 'case $1 in read) echo "$3 value" ;; read-type) echo "Type is string" ;; esac',
    "python3": 'eval "$ACT"',  # the demo's acts on the Dock
    **{name: "" for name in ["killall", "cmake", "ctest", "swift", "xcrun", "clang-format",
                             "run-clang-tidy", "check-jsonschema", "apt-get", "dpkg-query", "sudo"]},
}


def command_of(pid_file):
    """The command name of the process whose PID `pid_file` holds; empty until there is one."""
    try:
        return pathlib.Path(f"/proc/{int(pid_file.read_text())}/comm").read_text()
    except (OSError, ValueError):
        return ""


class MacBranches(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.bin = pathlib.Path(self.folder.name, "bin")
        self.bin.mkdir()
        self.calls = pathlib.Path(self.folder.name, "calls")
        for name, body in STAND_INS.items():
            stand_in = self.bin / name
            stand_in.write_text(f'#!/bin/sh\necho "{name} $*" >>"$CALLS"\n{body}\n')
            stand_in.chmod(0o755)

    def start(self, command, without=(), **env):
        self.calls.unlink(missing_ok=True)
        for name in without:
            (self.bin / name).unlink()
        # A Mac takes CoreFoundation from its SDK: an installation named for Linux's lane is no Mac's.
        inherited = {name: value for name, value in os.environ.items() if name != "CoreFoundation_ROOT"}
        environment = {**inherited, "PATH": f"{self.bin}:{os.environ['PATH']}", "CALLS": str(self.calls),
                       "TMPDIR": self.folder.name, "INSTALLED": FORMULAE, "ARCHS": "x86_64 arm64", "ACT": "", **env}
        # The demo's traps need SIGINT as a terminal delivers it, whatever this process inherited.
        return subprocess.Popen([str(ROOT / "scripts" / command[0]), *command[1:]], env=environment,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, start_new_session=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))

    def run_script(self, *command, without=(), **env):
        process = self.start(command, without, **env)
        output = process.communicate(timeout=60)[0]
        return process.returncode, output, self.recorded()

    def recorded(self):
        return self.calls.read_text().splitlines() if self.calls.exists() else []

    def test_install_deps_asks_homebrew_for_what_is_missing(self):
        for name, env, without, status, installs, says in [
            ("two missing", {"INSTALLED": "cmake llvm utf8proc googletest pkg-config"}, (), 0,
             ["brew install ninja check-jsonschema"], ""),
            ("nothing missing", {}, (), 0, [], ""),
            ("no command-line tools", {"NO_COMMAND_LINE_TOOLS": "1"}, (), 1, [], "xcode-select --install"),
            ("no Homebrew", {}, ("brew",), 1, [], f"install it, then run this again to install {FORMULAE}"),
        ]:
            with self.subTest(name):
                code, output, calls = self.run_script("install-deps.sh", without=without, **env)
                self.assertEqual(code, status, output)
                self.assertEqual([c for c in calls if c.startswith("brew install")], installs)
                self.assertIn(says, output)
                self.assertEqual([c for c in calls if c.split()[0] in ("apt-get", "dpkg-query", "sudo")], [])

    def test_test_sh_runs_the_lanes_of_a_mac(self):
        code, output, calls = self.run_script("test.sh")
        self.assertEqual(code, 0, output)
        lanes = [c for c in calls if c.split()[0] in ("run-clang-tidy", "ctest", "lipo", "swift")
                 or "CMAKE_OSX_ARCHITECTURES" in c]
        self.assertEqual([" ".join(c.split()[:2]) for c in lanes],
                         ["run-clang-tidy -p", "ctest --test-dir", "cmake -S", "lipo -archs", "lipo -archs",
                          "lipo -archs", "swift build", "swift test"])
        self.assertIn("-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64", lanes[2])
        self.assertFalse([c for c in calls if "FUZZ" in c or "SANITIZE" in c or c.startswith("apt-get")])
        self.assertEqual(len([line for line in output.splitlines() if "skipped on macOS" in line]), 3)

        code, output, _ = self.run_script("test.sh", ARCHS="arm64")
        self.assertNotEqual(code, 0)
        self.assertIn("build-universal/dock-restore-agent is not universal", output)

    def test_demo_refuses_without_a_terminal_or_yes(self):
        code, output, calls = self.run_script("demo.sh")
        self.assertEqual(code, 1)
        self.assertIn("--yes", output)
        self.assertEqual(calls, ["uname -s"])

    def test_demo_puts_the_dock_back_when_a_step_fails_or_is_interrupted(self):
        act_pid = pathlib.Path(self.folder.name, "act.pid")
        for name, act, status in [("a step fails", "exit 3", 3),
                                  ("interrupted", f'echo $$ >{act_pid}; exec sleep 30', 130)]:
            with self.subTest(name):
                demo = self.start(["demo.sh", "--yes"], ACT=act)
                if "sleep" in act:  # Ctrl-C, to the whole foreground group, once the act waits
                    while command_of(act_pid) != "sleep\n":
                        time.sleep(0.05)
                    os.killpg(demo.pid, signal.SIGINT)
                output = demo.communicate(timeout=60)[0]
                self.assertEqual(demo.returncode, status, output)
                steps = [c for c in self.recorded()
                         if c.split()[:2] in (["defaults", "export"], ["defaults", "import"])
                         or c.split()[0] in ("python3", "killall")]
                saved = steps[0].split()[-1]
                self.assertEqual(steps, [f"defaults export com.apple.dock {saved}",
                                         "python3 examples/demo.py --real-dock build/dock-restore-agent "
                                         "build/dock-restore-example-owner build/dock-restore-recover",
                                         f"defaults import com.apple.dock {saved}", "killall Dock"])


if __name__ == "__main__":
    unittest.main()
