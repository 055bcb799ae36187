"""The owner guide's example and promises, checked against the built agent.

The snapshot example in docs/owner-guide.md is used as written; only its owner PID
and session ID are swapped for those of a real process, in the text itself, so that
the agent reads the very bytes an owner would copy from the guide.
"""
import os
import plistlib
import re
import signal
import subprocess
import time
import unittest
import uuid

from agent_harness import AGENT, MARKER, OWNER_DOMAIN, AgentTestCase, wait_for, write_atomically

GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                     "owner-guide.md")

# What the guide says the Dock's domain holds after recovering from its example.
RESTORED_BY_EXAMPLE = {"orientation": "left", "autohide": False,
                       "autohide-time-modifier": 0.5, "no-bouncing": False,
                       "launchanim": True}

# The Dock as the owner left it when it died, with keys that are none of the agent's.
HIDDEN_DOCK = {"orientation": "bottom", "autohide": True, "autohide-delay": 1000.0,
               "autohide-time-modifier": 0.0, "no-bouncing": True, "launchanim": False,
               "tilesize": 48, "persistent-apps": [{"tile-data": {"file-label": "Mail"}}]}


def guide_example():
    with open(GUIDE, encoding="utf-8") as f:
        blocks = re.findall(r"^```xml\n(.*?)^```", f.read(), re.MULTILINE | re.DOTALL)
    if len(blocks) != 1:
        raise AssertionError(f"the owner guide should hold one xml example, not {len(blocks)}")
    return blocks[0]


def example_for(owner_pid, session):
    """The guide's example, as text, recording `owner_pid` and `session`."""
    text = guide_example()
    recorded = plistlib.loads(text.encode("utf-8"))
    for old, new in ((f"<integer>{recorded['ownerPID']}</integer>", f"<integer>{owner_pid}</integer>"),
                     (f"<string>{recorded['sessionID']}</string>", f"<string>{session}</string>")):
        if text.count(old) != 1:
            raise AssertionError(f"{old} should occur once in the guide's example")
        text = text.replace(old, new)
    return text.encode("utf-8")


class OwnerGuideExample(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.session = str(uuid.uuid4()).upper()
        self.write_domain("com.apple.dock", HIDDEN_DOCK)
        self.write_domain(OWNER_DOMAIN, {MARKER: True, "windowFrame": "0 0 10 10"})

    def assert_recovered(self, dock):
        restored = self.read_domain("com.apple.dock")
        self.assertEqual(restored, dict(RESTORED_BY_EXAMPLE, tilesize=48,
                                        **{"persistent-apps": HIDDEN_DOCK["persistent-apps"]}))
        self.assertIs(type(restored["autohide-time-modifier"]), float)
        self.assertIs(type(restored["launchanim"]), bool)
        self.assertEqual(self.read_domain(OWNER_DOMAIN), {"windowFrame": "0 0 10 10"})
        self.assertFalse(os.path.exists(self.snapshot_path))
        self.assertIsNotNone(wait_for(lambda: dock.poll() is not None))

    def test_example_restores_what_the_guide_says(self):
        owner = self.start_owner()
        dock = self.start_dock()
        write_atomically(self.snapshot_path, example_for(owner.pid, self.session))
        agent = self.start_agent(self.snapshot_path, str(owner.pid), self.session, OWNER_DOMAIN)

        time.sleep(0.2)
        self.assertIsNone(agent.poll(), "the agent should wait while the owner runs")
        self.kill_and_reap(owner)
        self.finish(agent)
        self.assert_recovered(dock)

    def test_half_written_example_ends_the_wait_unrecovered(self):
        # Why the guide insists on temporary file and rename.
        dock_before = self.domain_bytes("com.apple.dock")
        owner = self.start_owner()
        whole = example_for(owner.pid, self.session)
        with open(self.snapshot_path, "wb") as f:
            f.write(whole[:len(whole) // 2])
        agent = self.start_agent(self.snapshot_path, str(owner.pid), self.session, OWNER_DOMAIN)

        self.finish(agent, timeout=2.0)
        self.assertIsNone(owner.poll())
        self.assertEqual(self.domain_bytes("com.apple.dock"), dock_before)
        self.assertEqual(self.read_domain(OWNER_DOMAIN), {MARKER: True, "windowFrame": "0 0 10 10"})
        self.assertTrue(os.path.exists(self.snapshot_path))

    def test_ctrl_c_to_the_owners_process_group_spares_the_agent(self):
        # Started the careless way, inside the owner's process group: the agent's own
        # move into a session of its own is what keeps it alive.
        owner = subprocess.Popen(["sleep", "600"], preexec_fn=os.setpgrp)
        self.addCleanup(self.stop, owner)
        dock = self.start_dock()
        write_atomically(self.snapshot_path, example_for(owner.pid, self.session))
        agent = subprocess.Popen([AGENT, self.snapshot_path, str(owner.pid), self.session,
                                  OWNER_DOMAIN],
                                 env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE,
                                 preexec_fn=lambda: os.setpgid(0, owner.pid))
        self.addCleanup(self.stop, agent)
        self.assertTrue(wait_for(lambda: os.getsid(agent.pid) == agent.pid),
                        "the agent should lead a session of its own")

        os.killpg(owner.pid, signal.SIGINT)
        owner.wait(timeout=5)
        self.finish(agent)
        self.assert_recovered(dock)


if __name__ == "__main__":
    unittest.main()
