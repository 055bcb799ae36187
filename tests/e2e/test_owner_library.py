# The owner library with the real agent and real processes, driven through the example
# owner in C (examples/owner.c), one command a line. A scenario is a list of steps
# "WHO ACTION [ANSWER]": WHO is an instance of the example owner, ACTION one of its
# commands (the answer it must begin with follows) or something done to it from
# outside; "-" does something to neither. A, B and Z (started with SIGCHLD ignored) are
# instances of one application; C and D of another, with their own snapshot and domain.
import os
import plistlib
import shutil
import signal
import subprocess

from agent_harness import AGENT, MARKER, OWNER_DOMAIN, AgentTestCase, stat, wait_for

OWNER = os.environ.get("DOCK_RESTORE_OWNER", "build/dock-restore-example-owner")
RECOVER = os.environ.get("DOCK_RESTORE_RECOVER", "build/dock-restore-recover")
OTHER_DOMAIN = "com.example.other"
APPS = {"A": ("snapshot.plist", OWNER_DOMAIN), "B": ("snapshot.plist", OWNER_DOMAIN),
        "Z": ("snapshot.plist", OWNER_DOMAIN), "C": ("other.plist", OTHER_DOMAIN),
        "D": ("other.plist", OTHER_DOMAIN)}

USERS_DOCK = {"orientation": "left", "autohide": False, "autohide-time-modifier": 0.5, "tilesize": 48}
HIDDEN_DOCK = dict(USERS_DOCK, **{"autohide": True, "autohide-delay": 1000.0, "autohide-time-modifier": 0.0,
                                  "launchanim": False, "no-bouncing": True})
# The user moved the Dock (a key no session changes) and chose a delay (one they all
# change) while the Dock was hidden: whatever ends the sessions, both stay.
USERS_CHANGES = ["- user orientation=bottom", "- user autohide-delay=0.25"]
CHANGED_DOCK = dict(USERS_DOCK, **{"orientation": "bottom", "autohide-delay": 0.25})
DOCKS = {"users": USERS_DOCK, "hidden": HIDDEN_DOCK}

SCENARIOS = [
    # name, steps, the Dock afterwards, whether a marker or snapshot is left (None: not checked)
    ("the user's changes, then a clean end", ["A begin ok", *USERS_CHANGES, "A end ok", "A agent-exited"],
     CHANGED_DOCK, False),
    ("the user's changes, then the owner killed", ["A begin ok", *USERS_CHANGES, "A kill"], CHANGED_DOCK, False),
    ("the user's changes, then owner and agent killed, recovered at launch",
     ["A begin ok", *USERS_CHANGES, "A kill-agent", "A kill", "B recover restored"], CHANGED_DOCK, False),
    ("the user's changes, then owner and agent killed, recovered at login",
     ["A begin ok", *USERS_CHANGES, "A kill-agent", "A kill", "- login"], CHANGED_DOCK, False),
    ("a newcomer under the owner's PID counts as gone",
     ["A begin ok", "A kill-agent", "A kill", "A pid-reused", "B recover restored"], USERS_DOCK, False),
    ("an old instance whose executable was replaced stays live",
     ["A begin ok", "- replace-owner", "B recover ok", "- dock hidden", "A end ok"], USERS_DOCK, False),
    ("recover with no marker, as a power cut before begin set it leaves",
     ["A begin ok", "A kill-agent", "A kill", "A drop-marker", "B recover restored"], USERS_DOCK, False),
    ("a group-writable snapshot is no record",
     ["A begin ok", "A kill-agent", "A kill", "- group-writable", "B recover ok"], HIDDEN_DOCK, True),
    ("an unreadable Dock domain refuses begin",
     ["- break-dock", "A begin error 6", "A state none", "A no-agent", "- dock broken", "- fix-dock"],
     USERS_DOCK, False),
    ("second instance, then a crash", ["A begin ok", "B begin ok", "B kill"], USERS_DOCK, False),
    ("second begin, then a crash", ["A begin ok", "A begin ok", "A kill"], USERS_DOCK, False),
    ("no zombies after close", ["A begin ok", "A end ok", "A reopen ok", "A no-zombies", "A begin ok",
                                "A reopen ok", "A kill"], USERS_DOCK, False),
    ("no zombies with SIGCHLD ignored",
     ["Z begin ok", "Z state protected", "Z end ok", "Z agent-exited", "Z no-zombies"], USERS_DOCK, False),
    # Two applications: the user's values are recorded once and come back with the last.
    ("two applications and the user's changes, ended in order",
     ["A begin ok", "C begin ok", *USERS_CHANGES, "A end ok", "C end ok"], CHANGED_DOCK, False),
    ("two applications, both killed with their agents, then recovered",
     ["A begin ok", "C begin ok", "A kill-agent", "A kill", "C kill-agent", "C kill", "B recover restored",
      "D recover restored"], USERS_DOCK, False),
    ("an application begins while another's dead session hides the Dock",
     ["A begin ok", "A kill-agent", "A kill", "C begin ok", "C end ok", "B recover restored"], USERS_DOCK, False),
]


def agents_for(owner_pid):
    """The running agents that watch `owner_pid` (they are not its children)."""
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:  # a process that has exited has no executable any more
            if os.readlink(f"/proc/{name}/exe") == os.path.realpath(AGENT):
                with open(f"/proc/{name}/cmdline", "rb") as f:
                    found += [int(name)] if f.read().split(b"\0")[2:3] == [str(owner_pid).encode()] else []
        except OSError:
            pass
    return found


def has_exited(pid):
    try:
        return stat(pid)[0] == "Z"
    except OSError:
        return True


def zombie_children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [child for child in f.read().split() if has_exited(child)]


class OwnerLibrary(AgentTestCase):
    def start(self, who):
        path, domain = APPS[who]
        owner = subprocess.Popen([self.owner_binary, AGENT, os.path.join(self.home, path), domain], env=self.env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                 preexec_fn=(lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)) if who == "Z" else None)
        self.addCleanup(self.stop, owner)
        return owner

    def owner(self, who):
        if who not in self.owners:
            self.owners[who] = self.start(who)
        return self.owners[who]

    def step(self, step):
        who, action, *answer = step.split(" ", 2)
        owner = None if who == "-" else self.owner(who)
        if action == "kill":
            self.kill_and_reap(owner)
        elif action == "kill-agent":
            agents = agents_for(owner.pid)
            self.assertTrue(agents)
            for pid in agents:
                os.kill(pid, signal.SIGKILL)
            self.assertTrue(wait_for(lambda: all(map(has_exited, agents))))
        elif action in ("agent-exited", "no-agent"):
            self.assertTrue(wait_for(lambda: not agents_for(owner.pid)))
        elif action == "no-zombies":
            self.assertTrue(wait_for(lambda: not zombie_children(owner.pid)), "zombies left")
        elif action == "pid-reused":
            with open(self.snapshot_path, "rb") as f:
                snapshot = plistlib.load(f)
            self.write_snapshot(self.start_owner().pid, snapshot["sessionID"], snapshot["snapshot"])
        elif action == "user":  # a change by hand, as System Settings makes it
            key, value = answer[0].split("=")
            dock = self.read_domain("com.apple.dock")
            dock[key] = value if key == "orientation" else float(value)
            self.write_domain("com.apple.dock", dock)
        elif action == "login":  # dock-restore-recover, as the next login runs it
            self.assertEqual(subprocess.run([RECOVER], env=self.env, timeout=10).returncode, 0)
        elif action == "drop-marker":
            self.write_domain(OWNER_DOMAIN, {})
        elif action == "group-writable":
            os.chmod(self.snapshot_path, 0o660)
        elif action == "replace-owner":  # as an update does: a new file under the old name
            shutil.copy(OWNER, self.owner_binary + ".new")
            os.replace(self.owner_binary + ".new", self.owner_binary)
        elif action == "break-dock":
            self.broken = b"<plist><dict><key>autohide</key>"
            with open(self.domain_path("com.apple.dock"), "wb") as f:
                f.write(self.broken)
        elif action == "fix-dock":
            self.write_domain("com.apple.dock", USERS_DOCK)
        elif action == "dock":
            if answer[0] == "broken":
                self.assertEqual(self.domain_bytes("com.apple.dock"), self.broken)
            else:
                self.assertTrue(wait_for(lambda: self.dock_is(DOCKS[answer[0]])), step)
        else:
            owner.stdin.write(action + "\n")
            owner.stdin.flush()
            line = owner.stdout.readline().strip()
            expected = f"state {answer[0]}" if action == "state" else answer[0]
            self.assertTrue(line.startswith(expected), f"{step}: {line}")

    def dock_is(self, values):
        try:  # the agent may be writing it this moment, and CoreFoundation writes in place
            return self.read_domain("com.apple.dock") == values
        except plistlib.InvalidFileException:
            return False

    def left_behind(self):
        left = False
        for path, domain in set(APPS.values()):
            try:
                left |= MARKER in self.read_domain(domain)
            except FileNotFoundError:
                pass
            left |= os.path.exists(os.path.join(self.home, path))
        return left

    def test_scenarios(self):
        self.run_scenarios(SCENARIOS)

    def run_scenarios(self, scenarios):
        for name, steps, dock_after, left in scenarios:
            with self.subTest(name):
                self.setUp()
                self.owners = {}
                self.owner_binary = shutil.copy(OWNER, os.path.join(self.home, "owner"))
                self.write_domain("com.apple.dock", USERS_DOCK)
                for step in steps:
                    self.step(step)
                self.assertTrue(left is None or wait_for(lambda: self.left_behind() == left),
                                f"marker or snapshot left: {self.left_behind()}")
                self.assertTrue(wait_for(lambda: self.dock_is(dock_after)), "the Dock afterwards")
                for owner in self.owners.values():  # agents first: a dead owner's agent would recover
                    for pid in agents_for(owner.pid) if owner.poll() is None else []:
                        os.kill(pid, signal.SIGKILL)
                self.doCleanups()
