"""No snapshot file, however broken, odd or untrusted, may crash, hang or silence the
agent, or make it write anything. The readers' own tests take each malformed structure
apart; here the whole agent meets what a file system can put at the snapshot path."""
import os
import plistlib
import unittest

from agent_harness import NOBODY, OWNER_DOMAIN, AgentTestCase

SESSION = "run-1"


def snapshot(pid, fmt=plistlib.FMT_BINARY):
    """The owner's own snapshot, which would drive a recovery were it trusted and whole."""
    return plistlib.dumps({"active": True, "ownerPID": pid, "sessionID": SESSION,
                           "snapshot": {"autohide": {"type": "bool", "value": False}}}, fmt=fmt)


def xml_with_pid(pid_element):
    return snapshot(0, plistlib.FMT_XML).replace(b"<integer>0</integer>", pid_element)


# name -> (contents for the owner's PID, the owner PID argument if not the owner's own)
BROKEN_FILES = {
    "truncated XML": (lambda pid: snapshot(pid, plistlib.FMT_XML)[:-20], None),
    "truncated binary": (lambda pid: snapshot(pid)[:-9], None),
    "zero-length file": (lambda pid: b"", None),
    "a million nested arrays": (lambda pid: b"<plist>" + b"<array>" * 1_000_000 +
                                b"</array>" * 1_000_000 + b"</plist>", None),
    # A negative owner needs no probe: a misread -1 would mean an immediate recovery.
    "ownerPID 2^64-1 against -1": (lambda pid: xml_with_pid(
        b"<integer>18446744073709551615</integer>"), "-1"),
}


class HostileSnapshots(AgentTestCase):
    def reset_dock_domain(self):
        self.write_domain("com.apple.dock", {"autohide": True, "tilesize": 48})
        self.dock_before = self.domain_bytes("com.apple.dock")

    def owners(self):
        """A live owner, then a dead one whose PID is free."""
        live = self.start_owner()
        dead = self.start_owner()
        self.kill_and_reap(dead)
        return (("live owner", live.pid), ("dead owner", dead.pid))

    def assert_nothing_written(self):
        self.assertEqual(self.domain_bytes("com.apple.dock"), self.dock_before)
        self.assertEqual(os.listdir(self.prefs), ["com.apple.dock.plist"])
        self.assertTrue(os.path.lexists(self.snapshot_path))

    def run_agent(self, pid_argument, **kwargs):
        self.finish(self.start_agent(self.snapshot_path, pid_argument, SESSION, OWNER_DOMAIN,
                                     **kwargs), timeout=10)

    def test_broken_file_contents(self):
        for (owner, pid) in self.owners():
            for name, (contents, pid_argument) in BROKEN_FILES.items():
                with self.subTest(name, owner=owner):
                    self.reset_dock_domain()
                    with open(self.snapshot_path, "wb") as f:
                        f.write(contents(pid))
                    self.run_agent(pid_argument or str(pid))
                    self.assert_nothing_written()

    def test_odd_and_untrusted_files_at_the_snapshot_path(self):
        as_root = os.getuid() == 0

        def owners_snapshot(mode, user=None):
            def make(path, pid):
                with open(path, "wb") as f:
                    f.write(snapshot(pid))
                os.chmod(path, mode)
                if user is not None:
                    os.chown(path, user, user)
            return make

        def sparse(path, pid):
            with open(path, "wb") as f:
                f.truncate(20 * 1024 * 1024)

        # name -> (maker, the user the agent runs as, if not the caller)
        odd_files = {
            "a 20 MB sparse file": (sparse, None),
            "a FIFO": (lambda path, pid: os.mkfifo(path), None),
            "a directory": (lambda path, pid: os.mkdir(path), None),
            "a link to /dev/zero": (lambda path, pid: os.symlink("/dev/zero", path), None),
            # Root reads any file: the unreadable case needs an ordinary user, to whom the
            # whole HOME is handed so that only the permission stands in the way.
            "a file without read permission": (owners_snapshot(0, NOBODY if as_root else None),
                                               NOBODY if as_root else None),
            # Files another local user could have written are no record of the owner's.
            "a snapshot every user may write": (owners_snapshot(0o666), None),
            "a snapshot owned by another user": (owners_snapshot(0o644, NOBODY), None),
        }
        for (owner, pid) in self.owners():
            for name, (make, user) in odd_files.items():
                with self.subTest(name, owner=owner):
                    if name == "a snapshot owned by another user" and not as_root:
                        self.skipTest("needs root to give a file to another user")
                    self.reset_dock_domain()
                    if user is not None:
                        self.give_home_to(user)
                    make(self.snapshot_path, pid)
                    self.run_agent(str(pid), **({"user": user} if user is not None else {}))
                    self.assert_nothing_written()
                    if os.path.isdir(self.snapshot_path) and not os.path.islink(self.snapshot_path):
                        os.rmdir(self.snapshot_path)
                    else:
                        os.remove(self.snapshot_path)


if __name__ == "__main__":
    unittest.main()
