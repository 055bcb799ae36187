"""Hostile and broken snapshot files, built byte by byte.

Each maker takes the owner PID and session the agent is started with, so that a file
which does parse would otherwise look like the owner's own snapshot.
"""
import plistlib
import struct


def binary_plist(objects, top=0, ref_size=1, offset_size=2, patch=None):
    """A binary property list from already-encoded objects; `patch` may rewrite the
    trailer fields (offset_size, ref_size, count, top, table_offset) or the offsets."""
    body = b"bplist00"
    offsets = []
    for obj in objects:
        offsets.append(len(body))
        body += obj
    fields = {"offset_size": offset_size, "ref_size": ref_size, "count": len(objects),
              "top": top, "table_offset": len(body), "offsets": offsets}
    if patch:
        patch(fields)
    table = b"".join(o.to_bytes(fields["offset_size"], "big") for o in fields["offsets"])
    trailer = struct.pack(">6xBBQQQ", fields["offset_size"], fields["ref_size"],
                          fields["count"], fields["top"], fields["table_offset"])
    return body + table + trailer


def ascii_string(data):
    return bytes([0x50 | len(data)]) + data


def utf16_string(units):
    return bytes([0x60 | len(units)]) + b"".join(struct.pack(">H", u) for u in units)


def integer(value):
    return b"\x13" + struct.pack(">q", value)


def array(*refs):
    return bytes([0xA0 | len(refs), *refs])


def dictionary(pairs):
    keys, values = zip(*pairs) if pairs else ((), ())
    return bytes([0xD0 | len(pairs), *keys, *values])


def snapshot_with(owner_pid, session, settings_objects, session_object=None):
    """A binary snapshot whose "snapshot" value is object 8 onwards (`settings_objects`)."""
    objects = [
        dictionary([(1, 5), (2, 6), (3, 7), (4, 8)]),
        ascii_string(b"active"), ascii_string(b"ownerPID"), ascii_string(b"sessionID"),
        ascii_string(b"snapshot"),
        b"\x09", integer(owner_pid),
        session_object if session_object is not None else ascii_string(session.encode()),
    ]
    return binary_plist(objects + settings_objects)


def xml_snapshot(pid_element, session):
    return (b'<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>'
            b"<key>active</key><true/><key>ownerPID</key>" + pid_element +
            b"<key>sessionID</key><string>" + session.encode() + b"</string>"
            b"<key>snapshot</key><dict/></dict></plist>")


def valid_binary(owner_pid, session):
    return plistlib.dumps({"active": True, "ownerPID": owner_pid, "sessionID": session,
                           "snapshot": {"autohide": {"type": "bool", "value": False}}},
                          fmt=plistlib.FMT_BINARY)


def valid_xml(owner_pid, session):
    return plistlib.dumps({"active": True, "ownerPID": owner_pid, "sessionID": session,
                           "snapshot": {}})


def offsets_outside(pid, session):
    def patch(f):
        f["offsets"][0] = 0xFFF0
    return binary_plist([dictionary([]), b"\x09"], patch=patch)


def table_outside(pid, session):
    def patch(f):
        f["table_offset"] = 1 << 62
    return binary_plist([dictionary([])], patch=patch)


def exponential(pid, session):
    # Forty levels of arrays, each holding the next one twice: 2^40 leaves from 300 bytes.
    depth = 40
    chain = [array(9 + i, 9 + i) for i in range(depth)] + [b"\x09"]
    return snapshot_with(pid, session, [dictionary([(9 + depth + 1, 9)])] + chain +
                         [ascii_string(b"autohide")])


# name -> maker(owner_pid, session) -> bytes. Owner PID argument overrides, where a row
# needs one, are in PID_ARGUMENT.
HOSTILE_FILES = {
    "truncated XML": lambda pid, s: valid_xml(pid, s)[:-20],
    "truncated binary": lambda pid, s: valid_binary(pid, s)[:-9],
    "binary cut in its trailer": lambda pid, s: valid_binary(pid, s)[:40],
    "wrong magic": lambda pid, s: b"bplist01" + valid_binary(pid, s)[8:],
    "offset table outside the file": table_outside,
    "object offset outside the file": offsets_outside,
    "object reference out of range": lambda pid, s: binary_plist([array(7)]),
    "array that holds itself": lambda pid, s: snapshot_with(
        pid, s, [dictionary([(9, 10)]), ascii_string(b"autohide"), array(10)]),
    "shared references blowing up": exponential,
    "a million nested arrays": lambda pid, s: (b"<plist>" + b"<array>" * 1_000_000 +
                                               b"</array>" * 1_000_000 + b"</plist>"),
    "ownerPID 2^64-1 against -1": lambda pid, s: xml_snapshot(
        b"<integer>18446744073709551615</integer>", s),
    "ownerPID -2^63": lambda pid, s: xml_snapshot(b"<integer>-9223372036854775808</integer>", s),
    "ownerPID a huge real": lambda pid, s: xml_snapshot(b"<real>1e300</real>", s),
    "ownerPID NaN": lambda pid, s: xml_snapshot(b"<real>nan</real>", s),
    "sessionID with bytes that are not UTF-8": lambda pid, s: snapshot_with(
        pid, s, [dictionary([])], session_object=ascii_string(b"run\xff\xfe")),
    "sessionID with an unpaired surrogate": lambda pid, s: snapshot_with(
        pid, s, [dictionary([])], session_object=utf16_string([0x72, 0xD800, 0x31])),
    "zero-length file": lambda pid, s: b"",
}

PID_ARGUMENT = {
    # A negative owner needs no probe: a misread -1 would mean an immediate recovery.
    "ownerPID 2^64-1 against -1": "-1",
}
