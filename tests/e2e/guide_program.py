"""The owner guide's C program, built by tests/check_install.cmake with the guide's own
command against an installed prefix, run as printed in a scratch home with a stand-in
Dock. Not found by the suite's discovery: it needs that build (DOCK_RESTORE_GUIDE_PROGRAM).
"""
import os
import signal
import subprocess

from agent_harness import AgentTestCase

PROGRAM = os.environ.get("DOCK_RESTORE_GUIDE_PROGRAM", "myapp")
USERS_DOCK = {"orientation": "left", "autohide": False, "tilesize": 48}


class GuideProgram(AgentTestCase):
    def start_program(self, mac_home=True):
        # Every Mac's home has this folder; the program makes only its own in it.
        if mac_home:
            os.makedirs(os.path.join(self.home, "Library", "Application Support"))
        program = subprocess.Popen([PROGRAM], env=self.env, cwd=self.home, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(self.stop, program)
        return program

    def test_hides_the_dock_until_sigterm_then_puts_it_back(self):
        self.write_domain("com.apple.dock", USERS_DOCK)
        dock = self.start_dock()
        program = self.start_program()
        self.assert_restarted(dock)
        self.assertEqual(self.read_domain("com.apple.dock"),
                         dict(USERS_DOCK, autohide=True, **{"autohide-delay": 1000.0}))
        dock = self.start_dock()
        program.send_signal(signal.SIGTERM)
        self.assertEqual(program.communicate(timeout=10), (b"The Dock is hidden until Ctrl-C.\n", b""))
        self.assertEqual(program.returncode, 0)
        self.assertEqual(self.read_domain("com.apple.dock"), USERS_DOCK)
        self.assert_restarted(dock)

    def test_exits_with_1_and_the_reason_when_it_cannot_hide_the_dock(self):
        program = self.start_program(mac_home=False)  # no folder for the snapshot
        out, err = program.communicate(timeout=10)
        self.assertEqual((program.returncode, out), (1, b""))
        self.assertRegex(err.decode(), r"^Dock: hiding: .+")
