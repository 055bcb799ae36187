import os
import subprocess
import sys
import time
import unittest

from agent_harness import NOBODY, OWNER_DOMAIN, AgentTestCase

SETTINGS = {"autohide": {"type": "bool", "value": False}}


class OwnerExit(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.write_domain("com.apple.dock", {"autohide": True})

    @staticmethod
    def kill_quietly(pid):
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass

    def assert_recovered(self):
        self.assertEqual(self.read_domain("com.apple.dock"), {"autohide": False})
        self.assertFalse(os.path.exists(self.snapshot_path))

    def test_an_owner_of_another_user_is_alive(self):
        # Signalling another user's process is not permitted; it still runs.
        if os.getuid() != 0:
            self.skipTest("needs root to run the agent as another user")
        owner = self.start_owner()
        self.write_snapshot(owner.pid, "run-1", SETTINGS)
        self.give_home_to(NOBODY)
        agent = self.start_agent(self.snapshot_path, str(owner.pid), "run-1", OWNER_DOMAIN,
                                 user=NOBODY)
        time.sleep(0.3)
        self.assertIsNone(agent.poll(), "the agent should wait while the owner runs")
        self.assertTrue(os.path.exists(self.snapshot_path))

        self.kill_and_reap(owner)
        self.finish(agent)
        self.assert_recovered()

    def test_an_owner_left_a_zombie_is_still_recovered(self):
        # The owner's parent never reaps it, so its PID keeps answering a probe.
        parent = subprocess.Popen(
            [sys.executable, "-c",
             "import os, signal, sys, time\n"
             "pid = os.fork()\n"
             "if pid == 0:\n"
             "    time.sleep(600)\n"
             "    os._exit(0)\n"
             "print(pid, flush=True)\n"
             "sys.stdin.readline()\n"
             "os.kill(pid, signal.SIGKILL)\n"
             "time.sleep(600)\n"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(self.stop, parent)
        owner_pid = int(parent.stdout.readline())
        self.addCleanup(self.kill_quietly, owner_pid)
        self.write_snapshot(owner_pid, "run-1", SETTINGS)
        agent = self.start_agent(self.snapshot_path, str(owner_pid), "run-1", OWNER_DOMAIN)
        time.sleep(0.1)

        parent.stdin.write("kill\n")
        parent.stdin.flush()
        self.finish(agent)
        os.kill(owner_pid, 0)  # still a zombie: the probe alone would have waited forever
        self.assert_recovered()


if __name__ == "__main__":
    unittest.main()
