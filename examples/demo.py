#!/usr/bin/env python3
"""Shows the agent's main job: an owner hides the Dock, crashes, and the agent puts
the Dock back. Then a power cut: owner and agent die together, and the next login's
dock-restore-recover puts the Dock back. The owner is the C example
(examples/owner.c), which hides the Dock through libdockrestore. Runs in a scratch
HOME; touches nothing else. With --real-dock (macOS, from scripts/demo.sh, which saves
the Dock's preferences first) it changes the user's real Dock instead.

Usage: demo.py [--real-dock] AGENT EXAMPLE_OWNER RECOVER
"""
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import time

OWNER_DOMAIN = "com.example.dockhider"
MARKER_KEY = "velko.systemDockVisibilitySnapshot"
SIX = ["orientation", "autohide", "autohide-delay", "autohide-time-modifier",
       "no-bouncing", "launchanim"]


def show(title, home, real=False):
    def domain(name):
        if real:  # as the system keeps it, through cfprefsd
            exported = subprocess.run(["defaults", "export", name, "-"], capture_output=True).stdout
            return plistlib.loads(exported) if exported else {}
        try:
            with open(os.path.join(home, ".config", name + ".plist"), "rb") as f:
                return plistlib.load(f)
        except FileNotFoundError:
            return {}
    dock = domain("com.apple.dock")
    print(f"{title}")
    for key in SIX:
        print(f"    {key:24} {dock[key]!r}" if key in dock else f"    {key:24} (not set)")
    others = sorted(k for k in dock if k not in SIX)
    print(f"    other Dock keys:         {', '.join(others)}")
    marker = "set" if MARKER_KEY in domain(OWNER_DOMAIN) else "not set"
    snapshot = "present" if os.path.exists(os.path.join(home, "snapshot.plist")) else "absent"
    print(f"    owner marker: {marker}; snapshot file: {snapshot}")


def start_owner(owner_program, agent, snapshot, env):
    owner = subprocess.Popen([owner_program, agent, snapshot, OWNER_DOMAIN],
                             env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    owner.stdin.write("begin\n")
    owner.stdin.flush()
    answer = owner.stdout.readline().strip()
    if answer != "ok":
        sys.exit(f"the owner could not hide the Dock: {answer}")
    return owner


def agents_of(agent, snapshot):
    """The PIDs of the agents that watch `snapshot`."""
    if not os.path.isdir("/proc"):  # macOS: ps, which joins the arguments with spaces
        listing = subprocess.run(["ps", "-A", "-ww", "-o", "pid=", "-o", "command="],
                                 capture_output=True, text=True, check=True).stdout
        rows = (line.strip().split(None, 1) for line in listing.splitlines())
        return [int(row[0]) for row in rows if len(row) == 2 and row[1].startswith(f"{agent} {snapshot} ")]
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                arguments = f.read().split(b"\0")
        except OSError:
            continue
        if arguments[:2] == [agent.encode(), snapshot.encode()]:
            found.append(int(entry))
    return found


def start_dock(home, real=False):
    """What reports, later, whether the Dock was restarted: off macOS a stand-in for the
    Dock, so that the agent's "killall Dock" has something to end; on macOS the user's
    own Dock, which launchd starts again when it ends."""
    if real:
        time.sleep(2)  # the owner's begin restarted the Dock: let it come back, hidden
        before = real_dock()
        return lambda: report_real_dock(before)
    stand_in = os.path.join(home, "Dock")
    if not os.path.exists(stand_in):
        shutil.copy(shutil.which("sleep"), stand_in)
    dock = subprocess.Popen([stand_in, "600"])
    return lambda: report_dock(dock)


def real_dock():
    """The PID of the user's Dock; None when it is not running."""
    found = subprocess.run(["pgrep", "-x", "-U", str(os.getuid()), "Dock"],
                           capture_output=True, text=True).stdout.split()
    return int(found[0]) if found else None


def report_real_dock(before):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        now = real_dock()
        if now is not None and now != before:
            print(f"    Dock: restarted (PID {before}, now {now})")
            return
        time.sleep(0.1)
    print(f"    Dock: not restarted within 10 s (PID {before})")


def report_dock(dock):
    try:
        dock.wait(timeout=5)
        print("    Dock: restarted (the stand-in Dock process was ended by killall)")
    except subprocess.TimeoutExpired:
        dock.kill()
        print("    Dock: still running (killall did not reach it)")


def power_cut(agent, owner_program, recover, home, env, real):
    snapshot = os.path.join(home, "snapshot.plist")
    owner = start_owner(owner_program, agent, snapshot, env)
    show("\n\nA power cut. The owner hides the Dock again:", home, real)
    for pid in agents_of(agent, snapshot):
        os.kill(pid, 9)
    owner.kill()
    owner.wait()
    show("\nOwner and agent died together; nothing is left to put the Dock back:", home, real)

    report_dock_restart = start_dock(home, real)
    started = time.monotonic()
    status = subprocess.run([recover], env=env).returncode
    took = (time.monotonic() - started) * 1000
    show(f"\nThe next login runs dock-restore-recover (exit status {status}, {took:.1f} ms):", home, real)
    report_dock_restart()


def main():
    real = sys.argv[1:2] == ["--real-dock"]
    agent, owner_program, recover = (os.path.abspath(a) for a in sys.argv[2 if real else 1:])
    home = tempfile.mkdtemp(prefix="dock-restore-demo-")  # on macOS only the snapshot's folder
    env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
    if not real:
        env["HOME"] = home
    try:
        if not real:
            os.makedirs(os.path.join(home, ".config"), mode=0o700)
            with open(os.path.join(home, ".config", "com.apple.dock.plist"), "wb") as f:
                plistlib.dump({"orientation": "left", "autohide": False, "tilesize": 48,
                               "persistent-apps": [{"tile-data": {"file-label": "Mail"}}],
                               "mod-count": 12}, f)
        show("Before the owner starts:", home, real)

        snapshot = os.path.join(home, "snapshot.plist")
        owner = start_owner(owner_program, agent, snapshot, env)
        show("\nWhile the owner runs (Dock hidden, agent waiting):", home, real)

        report_dock_restart = start_dock(home, real)

        owner.kill()  # a crash: no chance to put the Dock back
        owner.wait()
        died = time.monotonic()
        while os.path.exists(snapshot) and time.monotonic() - died < 5:
            time.sleep(0.001)
        took = (time.monotonic() - died) * 1000
        show(f"\nAfter the owner crashed (killed by signal {-owner.returncode}):", home, real)
        report_dock_restart()
        print(f"\nRecovery took {took:.1f} ms from the owner's death to the snapshot's removal.")

        power_cut(agent, owner_program, recover, home, env, real)
    finally:
        shutil.rmtree(home, ignore_errors=True)
        if real:  # the example owner's own domain, which the demo made
            subprocess.run(["defaults", "delete", OWNER_DOMAIN], stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
