"""The owner guide's C program, built by tests/check_install.cmake the guide's two ways
against an installed prefix, run as printed in a scratch home with a stand-in Dock. Not
found by the suite's discovery: it needs those builds (DOCK_RESTORE_GUIDE_PROGRAMS).
"""
import os
import signal
import subprocess

from agent_harness import AgentTestCase

PROGRAMS = os.environ.get("DOCK_RESTORE_GUIDE_PROGRAMS", "myapp").split(":")
USERS_DOCK = {"orientation": "left", "autohide": False, "tilesize": 48}


class GuideProgram(AgentTestCase):
    def start(self, program, mac_home=True):
        if mac_home:  # every Mac's home has it; the program makes only its own folder in it
            os.makedirs(os.path.join(self.home, "Library", "Application Support"))
        started = subprocess.Popen([program], env=self.env, cwd=self.home, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(self.stop, started)
        return started

    def test_hides_the_dock_until_sigterm_then_puts_it_back(self):
        for program in PROGRAMS:
            with self.subTest(program):
                self.setUp()
                self.write_domain("com.apple.dock", USERS_DOCK)
                dock = self.start_dock()
                running = self.start(program)
                self.assert_restarted(dock)
                self.assertEqual(self.read_domain("com.apple.dock"),
                                 dict(USERS_DOCK, autohide=True, **{"autohide-delay": 1000.0}))
                dock = self.start_dock()
                running.send_signal(signal.SIGTERM)
                self.assertEqual(running.communicate(timeout=10), (b"The Dock is hidden until Ctrl-C.\n", b""))
                self.assertEqual(running.returncode, 0)
                self.assertEqual(self.read_domain("com.apple.dock"), USERS_DOCK)
                self.assert_restarted(dock)

    def test_exits_with_1_and_the_reason_when_it_cannot_hide_the_dock(self):
        running = self.start(PROGRAMS[0], mac_home=False)  # no folder for the snapshot
        out, err = running.communicate(timeout=10)
        self.assertEqual((running.returncode, out), (1, b""))
        self.assertRegex(err.decode(), r"^Dock: hiding: .+")
