"""Snapshot files for the benchmarks, written for a given live owner and session so
that every watch pass over them goes all the way to the owner probe.

typical.xml / typical.bplist: what an owner writes (see examples/owner.py), in XML
and in binary form. large.xml: the same with about 100 KB of further values of every
kind, which the agent parses and ignores.
"""
import datetime
import os
import plistlib

FILES = ("typical.xml", "typical.bplist", "large.xml")
LARGE_SIZE = 100 * 1024

TYPICAL_SETTINGS = {
    "orientation": {"type": "string", "value": "bottom"},
    "autohide": {"type": "bool", "value": False},
    "autohide-delay": {"type": "number", "value": 0.5},
    "autohide-time-modifier": {"type": "number", "value": 1.0},
    "no-bouncing": {"type": "bool", "value": False},
    "launchanim": {"type": "bool", "value": True},
}


def snapshot(owner_pid, session_id):
    return {"active": True, "ownerPID": owner_pid, "sessionID": session_id,
            "snapshot": dict(TYPICAL_SETTINGS)}


def large_snapshot(owner_pid, session_id):
    content = snapshot(owner_pid, session_id)
    extra = []
    content["extra"] = extra
    base = datetime.datetime(2024, 1, 1)
    i = 0
    while len(plistlib.dumps(content)) < LARGE_SIZE:
        # A batch at a time: dumping the whole document after every entry would be slow.
        for _ in range(10):
            extra.append({"name": f"item {i} \u00e9t\u00e9", "count": i, "ratio": i / 7,
                          "enabled": i % 2 == 0, "when": base + datetime.timedelta(hours=i),
                          "blob": bytes(range(i % 32, i % 32 + 24))})
            i += 1
    return content


def write(directory, owner_pid, session_id):
    """Writes FILES into `directory`; returns their paths in that order."""
    documents = {
        "typical.xml": plistlib.dumps(snapshot(owner_pid, session_id)),
        "typical.bplist": plistlib.dumps(snapshot(owner_pid, session_id), fmt=plistlib.FMT_BINARY),
        "large.xml": plistlib.dumps(large_snapshot(owner_pid, session_id)),
    }
    paths = []
    for name in FILES:
        path = os.path.join(directory, name)
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
            f.write(documents[name])
        paths.append(path)
    return paths
