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
import unittest
import uuid

from agent_harness import OWNER_DOMAIN, AgentTestCase, wait_for, write_atomically

GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                     "owner-guide.md")

# What the guide says the Dock's domain holds after recovering from its example.
RESTORED_BY_EXAMPLE = {"orientation": "left", "autohide": False,
                       "autohide-time-modifier": 0.5, "no-bouncing": False,
                       "launchanim": True}

# The Dock as the owner left it when it died, with a key that is none of the agent's (the
# store's tests keep every kind of value such a key may hold, byte for byte).
HIDDEN_DOCK = {"orientation": "bottom", "autohide": True, "autohide-delay": 1000.0,
               "autohide-time-modifier": 0.0, "no-bouncing": True, "launchanim": False, "tilesize": 48}


def joining_group(group):
    """For preexec_fn: joins process group `group` (0: a new one), with SIGINT as a terminal
    delivers it, even where the tests were started with it ignored (in the background)."""
    def join():
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.setpgid(0, group)
    return join


def example_for(owner_pid, session):
    """The guide's example, as text, recording `owner_pid` and `session`."""
    with open(GUIDE, encoding="utf-8") as f:
        blocks = re.findall(r"^```xml\n(.*?)^```", f.read(), re.MULTILINE | re.DOTALL)
    if len(blocks) != 1:
        raise AssertionError(f"the owner guide should hold one xml example, not {len(blocks)}")
    text = blocks[0]
    recorded = plistlib.loads(text.encode("utf-8"))
    for old, new in ((f"<integer>{recorded['ownerPID']}</integer>", f"<integer>{owner_pid}</integer>"),
                     (f"<string>{recorded['sessionID']}</string>", f"<string>{session}</string>")):
        if text.count(old) != 1:
            raise AssertionError(f"{old} should occur once in the guide's example")
        text = text.replace(old, new)
    return text.encode("utf-8")


class OwnerGuideExample(AgentTestCase):
    def test_example_restores_what_the_guide_says_after_ctrl_c_to_the_owner(self):
        session = str(uuid.uuid4()).upper()
        self.write_domain("com.apple.dock", HIDDEN_DOCK, fmt=plistlib.FMT_BINARY)
        # Started the careless way, inside the owner's process group: the agent's own
        # move into a session of its own is what keeps it alive.
        owner = subprocess.Popen(["sleep", "600"], preexec_fn=joining_group(0))
        self.addCleanup(self.stop, owner)
        write_atomically(self.snapshot_path, example_for(owner.pid, session))
        agent = self.start_agent("snapshot.plist", str(owner.pid), session, OWNER_DOMAIN,
                                 preexec_fn=joining_group(owner.pid))
        self.assertTrue(wait_for(lambda: os.getsid(agent.pid) == agent.pid),
                        "the agent should lead a session of its own")

        os.killpg(owner.pid, signal.SIGINT)
        owner.wait(timeout=5)
        self.finish(agent)
        # The rest of a recovery (the owner's marker, the Dock's restart, the snapshot's
        # removal) is the same for every snapshot, which the run tests follow call by call.
        self.assertEqual(self.read_domain("com.apple.dock"), dict(RESTORED_BY_EXAMPLE, tilesize=48))


if __name__ == "__main__":
    unittest.main()
