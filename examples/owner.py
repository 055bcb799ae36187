#!/usr/bin/env python3
"""A worked example of an owner: an application that hides the Dock and protects the
user from its own crash with dock-restore-agent.

It does, in order, what every owner must do:
  1. record the six Dock settings it is about to change (a key that is not set is
     left out of the snapshot, so that recovery deletes it again);
  2. write the snapshot atomically (a temporary file renamed into place);
  3. set its marker key in its own preferences domain;
  4. start the agent with four arguments and a fresh session ID;
  5. change the Dock's settings.
A clean exit would put the Dock's values back, restart the Dock, delete the snapshot
and remove the marker, in that order; this example instead crashes, which is the case
the agent exists for. Applications that can link C should use libdockrestore instead
(examples/owner.c), which does all of this.

On Linux, preferences live where the portable build keeps them:
$XDG_CONFIG_HOME (or $HOME/.config)/<domain>.plist.

Usage: owner.py AGENT SNAPSHOT_PATH OWNER_DOMAIN
"""
import os
import plistlib
import signal
import subprocess
import sys
import uuid

DOCK_DOMAIN = "com.apple.dock"
MARKER_KEY = "velko.systemDockVisibilitySnapshot"
# The six keys the agent restores, and the type each is recorded with.
DOCK_SETTINGS = {
    "orientation": "string",
    "autohide": "bool",
    "autohide-delay": "number",
    "autohide-time-modifier": "number",
    "no-bouncing": "bool",
    "launchanim": "bool",
}
HIDDEN = {"autohide": True, "autohide-delay": 1000.0, "autohide-time-modifier": 0.0,
          "launchanim": False, "no-bouncing": True}


def preferences_folder():
    xdg = os.environ.get("XDG_CONFIG_HOME", "")
    if xdg.startswith("/") and len(xdg) > 1:
        return xdg
    return os.path.join(os.path.expanduser("~"), ".config")


def domain_path(domain):
    return os.path.join(preferences_folder(), domain + ".plist")


def read_domain(domain):
    try:
        with open(domain_path(domain), "rb") as f:
            return plistlib.load(f)
    except FileNotFoundError:
        return {}


def write_atomically(path, data):
    temporary = f"{path}.{os.getpid()}.tmp"
    # Private to the user: a file its group may write is no snapshot to the agent.
    with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)


def update_domain(domain, changes):
    values = read_domain(domain)
    values.update(changes)
    os.makedirs(preferences_folder(), mode=0o700, exist_ok=True)
    write_atomically(domain_path(domain), plistlib.dumps(values))


def record_settings(dock):
    return {key: {"type": kind, "value": dock[key]}
            for key, kind in DOCK_SETTINGS.items() if key in dock}


def main():
    agent, snapshot_path, owner_domain = sys.argv[1:4]
    session_id = str(uuid.uuid4())

    snapshot = {
        "active": True,
        "ownerPID": os.getpid(),
        "sessionID": session_id,
        "snapshot": record_settings(read_domain(DOCK_DOMAIN)),
    }
    write_atomically(snapshot_path, plistlib.dumps(snapshot))
    update_domain(owner_domain, {MARKER_KEY: True})

    # A session of its own would also be what the agent does first; the owner need
    # not wait for it. None of the owner's streams: an agent holding the owner's output
    # pipe would keep whoever reads it waiting until the agent exits.
    subprocess.Popen([agent, snapshot_path, str(os.getpid()), session_id, owner_domain],
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)

    update_domain(DOCK_DOMAIN, HIDDEN)
    print("hidden", flush=True)

    # Wait for the go-ahead to crash (the demo says when), then die without cleaning up.
    sys.stdin.readline()
    os.kill(os.getpid(), signal.SIGKILL)


if __name__ == "__main__":
    main()
