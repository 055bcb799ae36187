# Sessions left behind, and the registry that tells of them: dock-restore-recover after a
# power cut, the agent beside another application's live session, the registry's lock,
# first use, refusals and a subreaper owner. Steps as in test_owner_library.py, plus
# those below; every scenario runs with a stand-in Dock that counts its restarts.
import os
import select
import shutil
import signal
import subprocess
import sys
import time

import test_owner_library as library
from agent_harness import wait_for

RECOVER = os.environ.get("DOCK_RESTORE_RECOVER", "build/dock-restore-recover")
LIBRARY = os.environ.get("DOCK_RESTORE_LIBRARY", "build/libdockrestore.so")
library.APPS["E"] = ("missing/snapshot.plist", library.OWNER_DOMAIN)  # a folder that is not there
USERS, HIDDEN = library.USERS_DOCK, library.HIDDEN_DOCK

SCENARIOS = [
    ("power cut: owner and agent die together, the command at the next login (status 1 while one is left)",
     ["A begin ok", "- restarts 1", "A kill-together", "- recover-dry 1 unchanged", "- restarts 0", "- dock-folder",
      "- recover 1", "- restarts 0", "- dock-file", "- recover 0", "- restarts 1", "- recover 0 unchanged",
      "- restarts 0"], USERS, False),
    ("stale and live: the live session is untouched",
     ["A begin ok", "- restarts 1", "C begin ok", "- restarts 1", "A kill-together", "- recover 0", "- restarts 0",
      "- dock hidden", "C end ok"], USERS, False),
    ("nothing to do", ["- recover 0 unchanged", "A begin ok", "- restarts 1", "- recover 0 unchanged", "- restarts 0",
                       "A end ok"], USERS, False),
    ("the command racing a live agent: one restore", ["A begin ok", "- restarts 1", "A kill-racing-recover",
                                                      "- restarts 1"], USERS, False),
    ("a crash under another application's live session",
     ["A begin ok", "- restarts 1", "C begin ok", "- restarts 1", "C kill", "C agent-exited", "- dock hidden",
      "- restarts 0",
      "A end ok"], USERS, False),
    ("the lock held by a stopped process: the agent restores within the bound",
     ["A begin ok", "- restarts 1", "- hold-lock", "A kill", "- restarts 1"], USERS, False),
    ("begin, end and recover wait for the lock's holder",
     ["A begin-locked ok", "B recover-locked ok", "A end-locked ok"], USERS, False),
    ("a refused begin leaves no new file or folder",
     ["- break-dock", "A begin error 6", "- fix-dock", "E begin error 2", "- no-registry"], USERS, False),
    ("first use races, in threads", ["- first-use threads"], USERS, False),
    ("first use races, in processes", ["A begin-racing-C ok", "A end ok", "C end ok"], USERS, False),
    ("a subreaper owner keeps no zombies", ["- subreaper-owner"], USERS, False),
    ("is_protected answers as get_state", ["- is-protected"], USERS, False),
]

# Owners through the C interface, from Python: `first-use` begins on four handles in four
# threads at once, ten times on a fresh registry; `subreaper` begins and ends as a child
# subreaper and lists the children it has left once the agent and killalls are gone;
# `is-protected` answers both calls in every state (killing its own agent on the way).
HELPER = r"""
import ctypes, os, shutil, signal, sys, threading, time
os.environ.pop("LD_PRELOAD", None)  # for this process only, not for the agent it starts
lib = ctypes.CDLL(sys.argv[1])
lib.dock_restore_open.restype = ctypes.c_void_p
for name in ("begin", "end", "get_state", "is_protected", "close"):
    getattr(lib, "dock_restore_" + name).argtypes = [ctypes.c_void_p]
home, agent, mode = os.environ["HOME"], sys.argv[2].encode(), sys.argv[3]
def handle(name):
    return lib.dock_restore_open(os.path.join(home, name).encode(), b"com.example.owner", agent)
def children():
    found = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/children") as f:
                found += f.read().split()
        except FileNotFoundError:
            pass  # a thread that ended meanwhile, such as the library's reaper
    return found
if mode == "first-use":
    for _ in range(10):
        owners = [handle(f"s{i}.plist") for i in range(4)]
        start = threading.Barrier(len(owners))
        answers = {}
        def begin(owner):
            start.wait()
            answers[owner] = lib.dock_restore_begin(owner)
        threads = [threading.Thread(target=begin, args=(o,)) for o in owners]
        for t in threads: t.start()
        for t in threads: t.join()
        for owner in owners:
            lib.dock_restore_end(owner)
            lib.dock_restore_close(owner)
        print(sorted(answers.values()), flush=True)
        shutil.rmtree(os.path.join(home, ".local/state"), ignore_errors=True)
elif mode == "subreaper":
    libc = ctypes.CDLL(None)
    libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    owner = handle("snapshot.plist")
    print(lib.dock_restore_begin(owner), lib.dock_restore_end(owner), flush=True)
    deadline = time.monotonic() + 5  # the agent and both killalls end well within this
    while children() and time.monotonic() < deadline:
        time.sleep(0.05)
    print("children left", children(), flush=True)  # zombies, unless reaped
else:
    owner, other = handle("snapshot.plist"), handle("snapshot.plist")
    answers = lambda: (lib.dock_restore_get_state(owner), lib.dock_restore_is_protected(owner))
    pairs = [answers(), lib.dock_restore_begin(owner), answers()]
    for pid in os.listdir("/proc"):  # its agent, killed
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if f.read().split(b"\0")[2:3] == [str(os.getpid()).encode()]: os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass
    time.sleep(0.5)
    pairs += [answers(), lib.dock_restore_begin(other), answers(), lib.dock_restore_end(other)]
    print(pairs, flush=True)
"""


class StaleSessions(library.OwnerLibrary):
    def setUp(self):
        super().setUp()
        # A stand-in Dock that counts the killalls it gets, and keeps running; two that
        # come within the same moment count once (signals are not queued).
        dock = os.path.join(self.home, "Dock")
        shutil.copy("/bin/sh", dock)
        self.restarts_file = os.path.join(self.home, "restarts")
        self.restarts_seen = 0
        stand_in = subprocess.Popen([dock, "-c", 'trap "echo >> \\"$0\\"" TERM; while :; do sleep 9 & wait $!; kill $! 2>/dev/null; done',
                                     self.restarts_file])
        self.addCleanup(self.stop, stand_in)

    def restarts(self):
        try:
            with open(self.restarts_file) as f:
                return len(f.readlines())
        except FileNotFoundError:
            return 0

    def recover(self, *arguments):
        return subprocess.run([RECOVER, *arguments], env=self.env, capture_output=True, text=True, timeout=10)

    def dock_state(self):
        return os.stat(self.domain_path("com.apple.dock")).st_mtime_ns, self.domain_bytes("com.apple.dock")

    def hold_lock(self, stopped):
        registry = os.path.join(self.home, ".local/state/dock-restore/sessions")
        os.makedirs(registry, mode=0o700, exist_ok=True)
        holder = subprocess.Popen(
            [sys.executable, "-c", "import fcntl, os, signal, sys\nf = open(sys.argv[1], 'a')\n"
             "fcntl.flock(f, fcntl.LOCK_EX)\nprint('held', flush=True)\n"
             "os.kill(os.getpid(), signal.SIGSTOP) if sys.argv[2] == 'stopped' else sys.stdin.read()",
             os.path.join(registry, ".lock"), "stopped" if stopped else "running"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop, holder)
        self.assertEqual(holder.stdout.readline(), "held\n")
        return holder

    def helper(self, mode):
        env = dict(self.env)
        if os.environ.get("DOCK_RESTORE_PRELOAD"):  # a sanitized library; Python's own leaks are not ours
            env.update(LD_PRELOAD=os.environ["DOCK_RESTORE_PRELOAD"], ASAN_OPTIONS="detect_leaks=0")
        return subprocess.Popen([sys.executable, "-c", HELPER, LIBRARY, library.AGENT, mode], env=env,
                                stdout=subprocess.PIPE, text=True)

    def step(self, step):
        who, action, *answer = step.split(" ", 2)
        owner = self.owners.get(who)
        if action == "restarts":  # exactly this many since the last count
            wanted = self.restarts_seen + int(answer[0])
            wait_for(lambda: self.restarts() >= wanted)
            time.sleep(0.2)  # a second restart would come within this
            self.assertEqual(self.restarts(), wanted, step)
            self.restarts_seen = wanted
        elif action in ("recover", "recover-dry"):  # its exit status, or for a dry run its lines
            number, *unchanged = answer[0].split()
            before = self.dock_state() if unchanged else None
            dry = action == "recover-dry"
            run = self.recover(*(["--dry-run"] if dry else []))
            self.assertEqual((run.returncode, run.stderr), (0 if dry else int(number), ""), step)
            self.assertEqual(len(run.stdout.splitlines()), int(number) if dry else 0, step)
            if unchanged:
                self.assertEqual(self.dock_state(), before, step)
        elif action == "kill-together":  # a power cut, as far as these two can tell
            agents = library.agents_for(owner.pid)
            for pid in agents + [owner.pid]:
                os.kill(pid, signal.SIGKILL)
            owner.wait()
            self.assertTrue(wait_for(lambda: all(map(library.has_exited, agents))))
        elif action == "kill-racing-recover":
            self.kill_and_reap(owner)
            self.assertEqual(self.recover().returncode, 0)
            self.assertTrue(wait_for(lambda: not library.agents_for(owner.pid)))
        elif action == "dock-folder":  # a Dock domain no store can write
            os.remove(self.domain_path("com.apple.dock"))
            os.mkdir(self.domain_path("com.apple.dock"))
        elif action == "dock-file":
            os.rmdir(self.domain_path("com.apple.dock"))
            self.write_domain("com.apple.dock", HIDDEN)
        elif action == "hold-lock":
            self.hold_lock(stopped=True)
        elif action.endswith("-locked"):  # the call waits until the holder lets go
            holder = self.hold_lock(stopped=False)
            owner = self.owner(who)
            owner.stdin.write(action.removesuffix("-locked") + "\n")
            owner.stdin.flush()
            self.assertEqual(select.select([owner.stdout], [], [], 0.5)[0], [], f"{step}: did not wait")
            self.stop(holder)
            self.assertTrue(owner.stdout.readline().startswith(answer[0]), step)
        elif action == "begin-racing-C":
            racers = [self.owner(name) for name in ("A", "C")]
            for racer in racers:
                racer.stdin.write("begin\n")
            for racer in racers:
                racer.stdin.flush()
            self.assertEqual([racer.stdout.readline().strip() for racer in racers], ["ok", "ok"])
        elif action == "no-registry":
            self.assertFalse(os.path.exists(os.path.join(self.home, ".local/state")))
            self.assertFalse(os.path.exists(os.path.join(self.home, "missing")))
        elif action == "first-use":
            out, _ = self.helper("first-use").communicate(timeout=60)
            self.assertEqual(out.splitlines(), ["[0, 0, 0, 0]"] * 10)
        elif action == "subreaper-owner":
            out, _ = self.helper("subreaper").communicate(timeout=30)
            self.assertEqual(out.splitlines(), ["0 0", "children left []"])
        elif action == "is-protected":
            out, _ = self.helper("is-protected").communicate(timeout=30)
            self.assertEqual(out, "[(0, 0), 0, (1, 1), (2, 0), 0, (3, 0), 0]\n")
        else:
            super().step(step)

    def test_scenarios(self):
        self.run_scenarios(SCENARIOS)
