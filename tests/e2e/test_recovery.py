import datetime
import os
import plistlib
import subprocess
import time
import unittest

from agent_harness import (AGENT, DOCK_KEYS, MARKER, OWNER_DOMAIN, AgentTestCase,
                           wait_for, write_atomically)

SETTINGS = {
    "orientation": {"type": "string", "value": "le\x01ft"},
    "autohide": {"type": "bool", "value": False},
    "autohide-delay": {"type": "number", "value": 0.5},
    "autohide-time-modifier": {"type": "number", "value": 1},
    "no-bouncing": {"type": "bool", "value": "YES"},
    "launchanim": {"type": "Bool", "value": True},  # unusable type: deleted
}

HIDDEN_DOCK = {
    "orientation": "bottom", "autohide": True, "autohide-delay": 1000.0,
    "autohide-time-modifier": 0.0, "no-bouncing": False, "launchanim": False,
    "tilesize": 48, "persistent-apps": [{"tile-data": {"file-label": "Mail"}}],
    "mod-count": 7, "region": "DE",
    # Values XML text cannot hold: the file stays binary and keeps them.
    "label": "bell\x07", "huge": 2**64 - 1, "icon": b"\x00\xff",
    "changed": datetime.datetime(2024, 2, 29, 12, 34, 56, 500000),
}


class Recovery(AgentTestCase):
    def test_owner_killed_restores_everything(self):
        self.write_domain("com.apple.dock", HIDDEN_DOCK, fmt=plistlib.FMT_BINARY)
        self.write_domain(OWNER_DOMAIN, {MARKER: b"snapshot", "windowFrame": "0 0 10 10"})
        owner = self.start_owner()
        dock = self.start_dock()
        self.write_snapshot(owner.pid, "run-1", SETTINGS)
        agent = self.start_agent("snapshot.plist", str(owner.pid), "run-1", OWNER_DOMAIN)

        self.kill_and_reap(owner)
        self.finish(agent)

        restored = self.read_domain("com.apple.dock")
        expected = dict(HIDDEN_DOCK, orientation="le\x01ft", autohide=False,
                        **{"autohide-delay": 0.5, "autohide-time-modifier": 1.0,
                           "no-bouncing": True})
        del expected["launchanim"]
        self.assertEqual(restored, expected)
        self.assertIs(type(restored["autohide-time-modifier"]), float)
        self.assertIs(type(restored["no-bouncing"]), bool)
        self.assertEqual(self.read_domain(OWNER_DOMAIN), {"windowFrame": "0 0 10 10"})
        self.assertFalse(os.path.exists(self.snapshot_path))
        self.assertIsNotNone(wait_for(lambda: dock.poll() is not None))

    def test_corrupt_dock_domain_is_left_byte_for_byte(self):
        corrupt = b"<?xml version=\"1.0\"?><plist><dict><key>autohide</key><tr"
        write_atomically(self.domain_path("com.apple.dock"), corrupt)
        owner = self.start_owner()
        dock = self.start_dock()
        self.write_snapshot(owner.pid, "run-1", SETTINGS)
        agent = self.start_agent(self.snapshot_path, str(owner.pid), "run-1", OWNER_DOMAIN)
        self.kill_and_reap(owner)
        self.finish(agent)

        self.assertEqual(self.domain_bytes("com.apple.dock"), corrupt)
        self.assertEqual(os.listdir(self.prefs), ["com.apple.dock.plist"])
        # The rest of the recovery still happens.
        self.assertFalse(os.path.exists(self.snapshot_path))
        self.assertIsNotNone(wait_for(lambda: dock.poll() is not None))


class NothingToRestore(AgentTestCase):
    def assert_untouched(self, dock_bytes):
        self.assertEqual(self.domain_bytes("com.apple.dock"), dock_bytes)
        self.assertFalse(os.path.exists(self.domain_path(OWNER_DOMAIN)))

    def test_owner_that_finishes_cleanly(self):
        for finish_cleanly in ("deactivate", "delete"):
            with self.subTest(finish_cleanly):
                self.write_domain("com.apple.dock", HIDDEN_DOCK, fmt=plistlib.FMT_BINARY)
                before = self.domain_bytes("com.apple.dock")
                owner = self.start_owner()
                self.write_snapshot(owner.pid, "run-1", SETTINGS)
                agent = self.start_agent(self.snapshot_path, str(owner.pid), "run-1", OWNER_DOMAIN)
                time.sleep(0.1)  # let the agent settle into its wait

                if finish_cleanly == "deactivate":
                    self.write_snapshot(owner.pid, "run-1", SETTINGS, active=False)
                else:
                    os.remove(self.snapshot_path)
                started = time.monotonic()
                self.finish(agent)
                self.assertLess(time.monotonic() - started, 2.0)
                self.kill_and_reap(owner)
                self.assert_untouched(before)

    def test_snapshot_of_another_session_or_owner(self):
        self.write_domain("com.apple.dock", HIDDEN_DOCK, fmt=plistlib.FMT_BINARY)
        before = self.domain_bytes("com.apple.dock")
        owner = self.start_owner()
        for pid, session in ((owner.pid, "run-2"), (owner.pid + 1, "run-1")):
            with self.subTest(pid=pid, session=session):
                self.write_snapshot(pid, session, SETTINGS)
                self.finish(self.start_agent(self.snapshot_path, str(owner.pid), "run-1",
                                             OWNER_DOMAIN))
                self.assertTrue(os.path.exists(self.snapshot_path))
                self.assert_untouched(before)

    def test_too_few_arguments(self):
        agent = subprocess.run([AGENT, "a", "1", "s"], capture_output=True, env=self.env)
        self.assertEqual((agent.returncode, agent.stdout, agent.stderr), (64, b"", b""))


if __name__ == "__main__":
    unittest.main()
