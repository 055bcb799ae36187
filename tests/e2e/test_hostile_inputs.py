import os
import stat
import subprocess
import unittest

from agent_harness import OWNER_DOMAIN, AgentTestCase, wait_for
from hostile_files import HOSTILE_FILES, PID_ARGUMENT

SESSION = "run-1"


class HostileSnapshots(AgentTestCase):
    """No snapshot file, however broken or odd, may crash, hang or silence the agent,
    or make it write anything."""

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

    def run_agent(self, pid_argument, **kwargs):
        self.finish(self.start_agent(self.snapshot_path, pid_argument, SESSION, OWNER_DOMAIN,
                                     **kwargs), timeout=10)

    def test_hostile_file_contents(self):
        for (owner, pid) in self.owners():
            for name, make in HOSTILE_FILES.items():
                with self.subTest(name, owner=owner):
                    self.reset_dock_domain()
                    with open(self.snapshot_path, "wb") as f:
                        f.write(make(pid, SESSION))
                    self.run_agent(PID_ARGUMENT.get(name, str(pid)))
                    self.assert_nothing_written()
                    self.assertTrue(os.path.exists(self.snapshot_path))

    def test_odd_files_at_the_snapshot_path(self):
        def sparse(path):
            with open(path, "wb") as f:
                f.truncate(20 * 1024 * 1024)

        def unreadable(path):
            with open(path, "wb") as f:
                f.write(b"<plist><dict><key>snapshot</key><dict/></dict></plist>")
            os.chmod(path, 0)

        odd_files = {
            "a 20 MB sparse file": sparse,
            "a FIFO": os.mkfifo,
            "a directory": os.mkdir,
            "a link to /dev/zero": lambda path: os.symlink("/dev/zero", path),
            "a file without read permission": unreadable,
        }
        for (owner, pid) in self.owners():
            for name, make in odd_files.items():
                with self.subTest(name, owner=owner):
                    self.reset_dock_domain()
                    make(self.snapshot_path)
                    # Root reads any file; the unreadable case needs an ordinary user.
                    as_other_user = name == "a file without read permission" and os.getuid() == 0
                    self.run_agent(str(pid), **({"user": 65534} if as_other_user else {}))
                    self.assert_nothing_written()
                    self.assertTrue(os.path.lexists(self.snapshot_path))
                    if os.path.isdir(self.snapshot_path) and not os.path.islink(self.snapshot_path):
                        os.rmdir(self.snapshot_path)
                    else:
                        os.remove(self.snapshot_path)


if __name__ == "__main__":
    unittest.main()
