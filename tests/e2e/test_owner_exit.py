import os
import time
import unittest

from agent_harness import NOBODY, OWNER_DOMAIN, AgentTestCase

SETTINGS = {"autohide": {"type": "bool", "value": False}}


class OwnerExit(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.write_domain("com.apple.dock", {"autohide": True})

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


if __name__ == "__main__":
    unittest.main()
