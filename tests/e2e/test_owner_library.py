# The owner library with the real agent and real processes, driven through the example
# owner in C (examples/owner.c), one command a line. A scenario is a list of steps
# "WHO ACTION [ANSWER]": WHO is an instance of the example owner (A, B), ACTION one of
# its commands (the answer it must give follows) or something done to it from outside.
import os
import plistlib
import signal
import subprocess

from agent_harness import AGENT, MARKER, OWNER_DOMAIN, AgentTestCase, wait_for

OWNER = os.environ.get("DOCK_RESTORE_OWNER", "build/dock-restore-example-owner")

USERS_DOCK = {"orientation": "left", "autohide": False, "autohide-time-modifier": 0.5, "tilesize": 48}
HIDDEN_DOCK = dict(USERS_DOCK, **{"autohide": True, "autohide-delay": 1000.0, "autohide-time-modifier": 0.0,
                                  "launchanim": False, "no-bouncing": True})

SCENARIOS = [
    # name, steps, the Dock afterwards, whether marker and snapshot are left (None: not checked)
    ("owner killed", ["A begin ok", "A kill"], USERS_DOCK, False),
    ("clean end", ["A begin ok", "A end ok", "A agent-exited"], USERS_DOCK, False),
    ("owner and agent killed, recovered at launch",
     ["A begin ok", "A kill-agent", "A kill", "B recover restored"], USERS_DOCK, False),
    ("a newcomer under the owner's PID counts as gone",
     ["A begin ok", "A kill-agent", "A kill", "A pid-reused", "B recover restored"], USERS_DOCK, False),
    ("recover with a live owner", ["A begin ok", "B recover ok"], HIDDEN_DOCK, True),
    ("recover with no marker",
     ["A begin ok", "A kill-agent", "A kill", "A drop-marker", "B recover ok"], HIDDEN_DOCK, None),
    ("second instance, then a crash", ["A begin ok", "B begin ok", "B kill"], USERS_DOCK, False),
    ("second begin, then a crash", ["A begin ok", "A begin ok", "A kill"], USERS_DOCK, False),
    ("protection ends with the agent",
     ["A status protected 0", "A begin ok", "A status protected 1", "A kill-agent", "A status protected 0"],
     HIDDEN_DOCK, True),
]


def agents_of(owner):
    with open(f"/proc/{owner.pid}/task/{owner.pid}/children") as f:
        children = [int(pid) for pid in f.read().split()]
    return [pid for pid in children if runs_agent(pid)]


def runs_agent(pid):
    try:  # a process that is exiting has no executable any more
        return os.readlink(f"/proc/{pid}/exe") == os.path.realpath(AGENT)
    except OSError:
        return False


def is_zombie(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "Z"


class OwnerLibrary(AgentTestCase):
    def step(self, step):
        who, action, *answer = step.split(" ", 2)
        if who not in self.owners:
            self.owners[who] = subprocess.Popen([OWNER, AGENT, self.snapshot_path, OWNER_DOMAIN], env=self.env,
                                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.addCleanup(self.stop, self.owners[who])
        owner = self.owners[who]
        if action == "kill":
            self.kill_and_reap(owner)
        elif action == "kill-agent":
            agents = agents_of(owner)
            for pid in agents:
                os.kill(pid, signal.SIGKILL)
            self.assertTrue(wait_for(lambda: all(map(is_zombie, agents))))
        elif action == "agent-exited":
            self.assertTrue(wait_for(lambda: not agents_of(owner)))
        elif action == "pid-reused":
            with open(self.snapshot_path, "rb") as f:
                snapshot = plistlib.load(f)
            self.write_snapshot(self.start_owner().pid, snapshot["sessionID"], snapshot["snapshot"])
        elif action == "drop-marker":
            self.write_domain(OWNER_DOMAIN, {})
        else:
            owner.stdin.write(action + "\n")
            owner.stdin.flush()
            self.assertEqual(owner.stdout.readline().strip(), answer[0])

    def left_behind(self):
        try:
            marked = MARKER in self.read_domain(OWNER_DOMAIN)
        except FileNotFoundError:
            marked = False
        return marked, os.path.exists(self.snapshot_path)

    def test_scenarios(self):
        for name, steps, dock_after, left in SCENARIOS:
            with self.subTest(name):
                self.setUp()
                self.owners = {}
                self.write_domain("com.apple.dock", USERS_DOCK)
                for step in steps:
                    self.step(step)
                self.assertTrue(left is None or wait_for(lambda: self.left_behind() == (left, left)),
                                f"marker and snapshot left: {self.left_behind()}")
                self.assertEqual(self.read_domain("com.apple.dock"), dock_after)
                for owner in self.owners.values():  # agents first: a dead owner's agent would recover
                    for pid in agents_of(owner) if owner.poll() is None else []:
                        os.kill(pid, signal.SIGKILL)
                self.doCleanups()
