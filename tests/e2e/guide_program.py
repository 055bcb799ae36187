# The owner guide's C program, built by tests/check_install.cmake the guide's two ways
# against an installed prefix, run as printed in a scratch home with a stand-in Dock. Not
# found by the suite's discovery: it needs those builds (DOCK_RESTORE_GUIDE_PROGRAMS).
import os
import signal
import subprocess

from agent_harness import AgentTestCase

PROGRAMS = os.environ.get("DOCK_RESTORE_GUIDE_PROGRAMS", "myapp").split(":")
USERS_DOCK = {"orientation": "left", "autohide": False, "tilesize": 48}


class GuideProgram(AgentTestCase):
    def test_hides_the_dock_until_sigterm_and_says_why_it_cannot(self):
        for program in PROGRAMS:
            with self.subTest(program):
                self.setUp()
                self.write_domain("com.apple.dock", USERS_DOCK)
                # Without a folder to make its own in, it says why and exits with 1.
                failed = subprocess.run([program], env=self.env, capture_output=True, timeout=10)
                self.assertEqual((failed.returncode, failed.stdout), (1, b""))
                self.assertRegex(failed.stderr.decode(), r"^Dock: hiding: .+")
                # Every Mac's home has this folder.
                os.makedirs(os.path.join(self.home, "Library", "Application Support"))
                dock = self.start_dock()
                running = subprocess.Popen([program], env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.addCleanup(self.stop, running)
                self.assert_restarted(dock)
                self.assertEqual(self.read_domain("com.apple.dock"),
                                 dict(USERS_DOCK, autohide=True, **{"autohide-delay": 1000.0}))
                dock = self.start_dock()
                running.send_signal(signal.SIGTERM)
                self.assertEqual(running.communicate(timeout=10), (b"The Dock is hidden until Ctrl-C.\n", b""))
                self.assertEqual((running.returncode, self.read_domain("com.apple.dock")), (0, USERS_DOCK))
                self.assert_restarted(dock)
