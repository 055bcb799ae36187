"""The owner watch against real changes: while the owner runs, each case changes the
snapshot, its folder or the agent's signals, and then checks whether the agent ended
its wait untouched or still recovers when the owner dies."""
import os
import plistlib
import shutil
import signal
import unittest

from agent_harness import OWNER_DOMAIN, AgentTestCase, stat, wait_for, write_atomically

DOCK = {"orientation": "bottom", "autohide": True}
SETTINGS = {"autohide": {"type": "bool", "value": False}}


class OwnerWatch(AgentTestCase):
    def snapshot(self, active=True):
        return plistlib.dumps({"active": active, "ownerPID": self.owner.pid, "sessionID": "run-1",
                               "snapshot": SETTINGS}, fmt=plistlib.FMT_BINARY)

    def signal_group(self):
        for terminal_signal in (signal.SIGINT, signal.SIGHUP, signal.SIGQUIT):
            os.killpg(self.agent.pid, terminal_signal)

    def repoint_parent(self):
        """Points the link above the snapshot's folder at another folder holding an
        inactive snapshot: the path names another file, and no event says so."""
        other = os.path.join(self.home, "other", "watched")
        os.makedirs(other)
        write_atomically(os.path.join(other, "snapshot.plist"), self.snapshot(active=False))
        os.symlink(os.path.dirname(other), self.link + ".new")
        os.replace(self.link + ".new", self.link)

    # Where the snapshot is: "plain", "linked file" (a link to a file in another folder),
    # "linked folder" (in a folder reached through a link) or "linked parent" (a link
    # higher up the path); what happens while the owner runs; and whether the agent then
    # ends untouched or recovers these settings.
    CASES = [
        ("signals to its own process group", "plain", signal_group, SETTINGS),
        ("folder removed", "plain", lambda t: shutil.rmtree(t.folder), None),
        ("folder renamed", "plain", lambda t: os.rename(t.folder, t.folder + "-old"), None),
        ("target rewritten", "linked file", lambda t: write_atomically(t.file, t.snapshot(active=False)), None),
        ("no events", "linked folder", lambda t: write_atomically(t.file, t.snapshot(active=False)), None),
        ("link above repointed", "linked parent", repoint_parent, None),
    ]

    def test_changes_while_the_owner_runs(self):
        for name, layout, change, restored in self.CASES:
            with self.subTest(name):
                self.run_case(name, layout, change, restored)

    def run_case(self, name, layout, change, restored):
        base = os.path.join(self.home, name.replace(" ", "-"))
        self.folder = os.path.join(base, "watched")
        os.makedirs(self.folder)
        path = self.file = os.path.join(self.folder, "snapshot.plist")
        if layout == "linked file":
            self.file = os.path.join(base, "target.plist")
            os.symlink(self.file, path)
        elif layout == "linked folder":
            os.symlink(self.folder, base + "-link")
            path = os.path.join(base + "-link", "snapshot.plist")
        elif layout == "linked parent":
            self.link = base + "-link"
            os.symlink(base, self.link)
            path = os.path.join(self.link, "watched", "snapshot.plist")
        self.write_domain("com.apple.dock", DOCK)
        dock_before = self.domain_bytes("com.apple.dock")
        self.owner = self.start_owner()
        write_atomically(self.file, self.snapshot())
        # A shell makes each job it starts a process-group leader, which cannot setsid.
        self.agent = self.start_agent(path, str(self.owner.pid), "run-1", OWNER_DOMAIN,
                                      process_group=0 if name.startswith("signals") else None)
        self.assertTrue(wait_for(lambda: stat(self.agent.pid)[0] == "S"))  # waiting
        change(self)
        if restored is not None:  # the wait goes on until the owner dies
            self.kill_and_reap(self.owner)
        self.finish(self.agent, timeout=10)
        if restored is None:
            self.assertEqual(self.domain_bytes("com.apple.dock"), dock_before)
            return
        self.assertEqual(self.read_domain("com.apple.dock"), {k: e["value"] for k, e in restored.items()})
        self.assertFalse(os.path.lexists(path))


if __name__ == "__main__":
    unittest.main()
