"""No snapshot file, however broken, odd or untrusted, may crash, hang or silence the
agent, or make it write anything. The readers' own tests take each malformed structure
apart; here the whole agent meets what a file system can put at the snapshot path."""
import os
import plistlib
import unittest

from agent_harness import NOBODY, OWNER_DOMAIN, AgentTestCase

SESSION = "run-1"
AS_ROOT = os.getuid() == 0


def snapshot(pid):
    """The owner's own snapshot, which would drive a recovery were it trusted."""
    return plistlib.dumps({"active": True, "ownerPID": pid, "sessionID": SESSION,
                           "snapshot": {"autohide": {"type": "bool", "value": False}}}, fmt=plistlib.FMT_BINARY)


def file_of(contents, mode=0o644, user=None):
    def make(path, pid):
        with open(path, "wb") as f:
            f.write(contents(pid))
        os.chmod(path, mode)
        if user is not None:
            os.chown(path, user, user)
    return make


def sparse(path, pid):
    with open(path, "wb") as f:
        f.truncate(20 * 1024 * 1024)


# name -> (maker(path, owner PID), the user the agent runs as; None: the caller).
FILES = {
    "a million nested arrays": (file_of(lambda pid: b"<plist>" + b"<array>" * 1_000_000 +
                                        b"</array>" * 1_000_000 + b"</plist>"), None),
    "a million OpenStep arrays": (file_of(lambda pid: b"(" * 1_000_000), None),
    "a 20 MB sparse file": (sparse, None),
    "a FIFO": (lambda path, pid: os.mkfifo(path), None),
    "a directory": (lambda path, pid: os.mkdir(path), None),
    "a link to /dev/zero": (lambda path, pid: os.symlink("/dev/zero", path), None),
    # Root reads any file: the unreadable case needs an ordinary user, to whom the whole
    # HOME is handed so that only the permission stands in the way.
    "a file without read permission": (file_of(snapshot, 0, NOBODY if AS_ROOT else None),
                                       NOBODY if AS_ROOT else None),
    # Files another local user could have written are no record of the owner's (a
    # group-writable one is the owner library's case).
    "a snapshot other users may write": (file_of(snapshot, 0o602), None),
    "a snapshot owned by another user": (file_of(snapshot, 0o644, NOBODY), None),
}


class HostileSnapshots(AgentTestCase):
    def test_nothing_is_written_for_a_broken_odd_or_untrusted_file(self):
        live = self.start_owner()
        dead = self.start_owner()
        self.kill_and_reap(dead)
        for owner in (live, dead):
            for name, (make, user) in FILES.items():
                with self.subTest(name, owner="live" if owner is live else "dead"):
                    if name == "a snapshot owned by another user" and not AS_ROOT:
                        self.skipTest("needs root to give a file to another user")
                    self.write_domain("com.apple.dock", {"autohide": True, "tilesize": 48})
                    before = self.domain_bytes("com.apple.dock")
                    if user is not None:
                        self.give_home_to(user)
                    make(self.snapshot_path, owner.pid)
                    self.finish(self.start_agent(self.snapshot_path, str(owner.pid), SESSION, OWNER_DOMAIN,
                                                 user=user), timeout=10)

                    self.assertEqual(self.domain_bytes("com.apple.dock"), before)
                    self.assertEqual(os.listdir(self.prefs), ["com.apple.dock.plist"])
                    self.assertTrue(os.path.lexists(self.snapshot_path))
                    if os.path.isdir(self.snapshot_path) and not os.path.islink(self.snapshot_path):
                        os.rmdir(self.snapshot_path)
                    else:
                        os.remove(self.snapshot_path)


if __name__ == "__main__":
    unittest.main()
