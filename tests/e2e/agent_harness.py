"""Runs the built agent against real processes and real preference files.

Each test gets a scratch HOME whose preference domains live in HOME/.config, the
place the portable build, and CoreFoundation off macOS, keep them.
"""
import atexit
import functools
import os
import plistlib
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

AGENT = os.environ.get("DOCK_RESTORE_AGENT", "build/dock-restore-agent")
PLATFORM = os.environ.get("DOCK_RESTORE_PLATFORM", "portable")  # or "corefoundation"
OWNER_DOMAIN = "com.example.owner"
MARKER = "velko.systemDockVisibilitySnapshot"
NOBODY = 65534


def wait_for(condition, timeout=5.0, step=0.005):
    """Polls `condition` until it holds or `timeout` seconds pass; returns its last answer."""
    deadline = time.monotonic() + timeout
    while True:
        answer = condition()
        if answer or time.monotonic() > deadline:
            return answer
        time.sleep(step)


@functools.cache
def agent_for(user):
    """The agent as `user` can run it: a copy in a folder anyone may enter, since the build
    may lie inside a private one (a checkout in root's home, say); None when `user` cannot
    run even that."""
    folder = tempfile.mkdtemp(prefix="dock-agent-bin-")
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    os.chmod(folder, 0o755)
    agent = shutil.copy(AGENT, folder)
    try:
        subprocess.run([agent], user=user, capture_output=True)
    except PermissionError:
        return None
    return agent


def stat(pid):
    """The fields of /proc/`pid`/stat after the command's name, the state first."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()


def write_atomically(path, data):
    """Writes as an owner must: private to the user (a file its group may write is no
    snapshot), into a temporary file renamed into place."""
    temporary = path + ".tmp"
    with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(data)
    os.replace(temporary, path)


class AgentTestCase(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="dock-agent-e2e-")
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)
        self.prefs = os.path.join(self.home, ".config")
        os.makedirs(self.prefs, mode=0o700)
        self.snapshot_path = os.path.join(self.home, "snapshot.plist")
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        self.env["HOME"] = self.home

    # Preference domains -------------------------------------------------------

    def domain_path(self, domain):
        return os.path.join(self.prefs, domain + ".plist")

    def write_domain(self, domain, values, fmt=plistlib.FMT_XML):
        write_atomically(self.domain_path(domain), plistlib.dumps(values, fmt=fmt))

    def read_domain(self, domain):
        return plistlib.loads(self.domain_bytes(domain))

    def domain_bytes(self, domain):
        with open(self.domain_path(domain), "rb") as f:
            return f.read()

    # Snapshots and processes ------------------------------------------------------

    def write_snapshot(self, owner_pid, session, settings, active=True):
        content = {"active": active, "ownerPID": owner_pid, "sessionID": session,
                   "snapshot": settings}
        write_atomically(self.snapshot_path, plistlib.dumps(content, fmt=plistlib.FMT_BINARY))

    def start_owner(self):
        owner = subprocess.Popen(["sleep", "600"], start_new_session=True)
        self.addCleanup(self.stop, owner)
        return owner

    def start_dock(self, **popen_options):
        """A stand-in Dock: a copy of sleep under the name the agent restarts."""
        dock_binary = os.path.join(self.home, "Dock")
        shutil.copy(shutil.which("sleep"), dock_binary)
        dock = subprocess.Popen([dock_binary, "600"], **popen_options)
        self.addCleanup(self.stop, dock)
        return dock

    def give_home_to(self, user):
        """Hands the scratch HOME and all in it to `user`, for an agent run as that user."""
        for folder, folders, files in os.walk(self.home):
            for path in [folder] + [os.path.join(folder, name) for name in folders + files]:
                os.chown(path, user, user, follow_symlinks=False)

    def start_agent(self, *arguments, user=None, **popen_options):
        executable = AGENT if user is None else agent_for(user)
        if executable is None:
            self.skipTest(f"user {user} can reach no copy of the agent")
        agent = subprocess.Popen([executable, *arguments], env=self.env, cwd=self.home, user=user,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, **popen_options)
        self.addCleanup(self.stop, agent)
        return agent

    def finish(self, agent, timeout=5.0):
        """Waits for the agent; checks that it said nothing and exited 0."""
        out, err = agent.communicate(timeout=timeout)
        self.assertEqual((agent.returncode, out, err), (0, b"", b""))

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.send_signal(signal.SIGKILL)
            process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream:
                stream.close()

    def assert_restarted(self, dock):
        """The agent's killall reached the stand-in Dock, which the system then starts again."""
        self.assertTrue(wait_for(lambda: dock.poll() is not None), "the Dock should have been restarted")

    def kill_and_reap(self, process):
        process.send_signal(signal.SIGKILL)
        process.wait()
