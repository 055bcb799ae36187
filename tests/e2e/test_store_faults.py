import os
import shutil
import subprocess
import unittest

from agent_harness import NOBODY, OWNER_DOMAIN, PLATFORM, AgentTestCase

SETTINGS = {"autohide": {"type": "bool", "value": False}}
# How a domain file is written is CoreFoundation's business on that backend (cfprefsd's
# on macOS); off macOS it rewrites the file in place, through links. These cases check
# the portable store's own writing; a domain file it cannot read, the store's unit tests.


@unittest.skipIf(PLATFORM == "corefoundation", "CoreFoundation writes its own files")
class StoreFaults(AgentTestCase):
    """When the Dock's domain cannot be written, the old file survives whole, no
    temporary file is left, and the recovery still restarts the Dock and removes the
    snapshot."""

    def recover(self, user=None):
        owner = subprocess.Popen(["sleep", "600"], user=user)
        self.addCleanup(self.stop, owner)
        self.write_snapshot(owner.pid, "run-1", SETTINGS)
        if user is not None:
            self.give_home_to(user)
        dock = self.start_dock(user=user)
        agent = self.start_agent(self.snapshot_path, str(owner.pid), "run-1", OWNER_DOMAIN, user=user)
        self.kill_and_reap(owner)
        self.finish(agent)
        self.assertFalse(os.path.exists(self.snapshot_path))
        self.assert_restarted(dock)

    def test_domain_file_that_is_a_link(self):
        target = os.path.join(self.home, "elsewhere.plist")
        self.write_domain("com.apple.dock", {"autohide": True, "tilesize": 48})
        os.rename(self.domain_path("com.apple.dock"), target)
        os.symlink(target, self.domain_path("com.apple.dock"))
        with open(target, "rb") as f:
            before = f.read()
        self.recover()
        # Read through the link, replaced by a file of its own: nothing outside the
        # preferences folder is written.
        self.assertEqual(self.read_domain("com.apple.dock"), {"autohide": False, "tilesize": 48})
        self.assertFalse(os.path.islink(self.domain_path("com.apple.dock")))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_folder_without_write_permission(self):
        self.write_domain("com.apple.dock", {"autohide": True})
        before = self.domain_bytes("com.apple.dock")
        os.chmod(self.prefs, 0o500)
        self.addCleanup(os.chmod, self.prefs, 0o700)
        # Root writes anywhere: the folder's mode stops only an ordinary user.
        self.recover(user=NOBODY if os.getuid() == 0 else None)
        self.assertEqual(self.domain_bytes("com.apple.dock"), before)
        self.assertEqual(os.listdir(self.prefs), ["com.apple.dock.plist"])

    def test_full_disk(self):
        if os.getuid() != 0 or shutil.which("mount") is None:
            self.skipTest("needs root to mount a small file system")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", self.prefs],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.prefs])
        self.write_domain("com.apple.dock", {"autohide": True, "tilesize": 48})
        before = self.domain_bytes("com.apple.dock")
        filler = os.open(os.path.join(self.prefs, "filler"), os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while os.write(filler, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass  # the file system is full
        finally:
            os.close(filler)
        self.recover()
        self.assertEqual(self.domain_bytes("com.apple.dock"), before)
        self.assertEqual(sorted(os.listdir(self.prefs)), ["com.apple.dock.plist", "filler"])


if __name__ == "__main__":
    unittest.main()
