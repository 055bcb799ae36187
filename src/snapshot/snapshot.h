#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "values/plist_value.h"

// The snapshot file as the agent reads it.
struct SnapshotRecord {
  bool active = false;
  std::int32_t ownerPID = 0;
  std::string sessionID;
  PlistDictionary settings;

  friend bool operator==(const SnapshotRecord&, const SnapshotRecord&) = default;
};

// Reads and parses the file at `path` anew. No record when the file cannot be read or
// parsed, when its top level is not a dictionary, or when it has no "snapshot"
// dictionary; every other field falls back to its default.
std::optional<SnapshotRecord> readSnapshot(Platform& platform, const std::string& path);

// The same, for a property list already parsed, which it takes apart.
std::optional<SnapshotRecord> snapshotFromPropertyList(PlistValue root);
