import os
import unittest

from agent_harness import OWNER_DOMAIN, PLATFORM, AgentTestCase, write_atomically

SETTINGS = {"autohide": {"type": "bool", "value": False}}


class Recovery(AgentTestCase):
    def test_corrupt_dock_domain(self):
        corrupt = b"<?xml version=\"1.0\"?><plist><dict><key>autohide</key><tr"
        write_atomically(self.domain_path("com.apple.dock"), corrupt)
        owner = self.start_owner()
        dock = self.start_dock()
        self.write_snapshot(owner.pid, "run-1", SETTINGS)
        agent = self.start_agent(self.snapshot_path, str(owner.pid), "run-1", OWNER_DOMAIN)
        self.kill_and_reap(owner)
        self.finish(agent)

        if PLATFORM == "corefoundation":
            # Read as an empty domain and replaced, as on macOS, where the Dock sees
            # nothing in such a file either.
            self.assertEqual(self.read_domain("com.apple.dock"), {"autohide": False})
        else:
            self.assertEqual(self.domain_bytes("com.apple.dock"), corrupt)
        self.assertEqual(os.listdir(self.prefs), ["com.apple.dock.plist"])
        # The rest of the recovery still happens.
        self.assertFalse(os.path.exists(self.snapshot_path))
        self.assert_restarted(dock)


if __name__ == "__main__":
    unittest.main()
