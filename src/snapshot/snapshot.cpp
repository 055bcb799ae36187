#include "snapshot/snapshot.h"

#include <limits>
#include <new>

#include "values/coercions.h"

std::optional<SnapshotRecord> snapshotFromPropertyList(PlistValue root) {
  auto* top = std::get_if<PlistDictionary>(&root.storage);
  if (top == nullptr) return std::nullopt;

  auto settings = top->find("snapshot");
  if (settings == top->end() || !settings->second.is<PlistDictionary>()) return std::nullopt;

  SnapshotRecord record;
  record.active = boolFromValue(lookup(*top, "active")).value_or(false);

  // A stored identifier outside the signed 32-bit range belongs to no process the
  // agent can be watching; it reads as the default, 0.
  const auto pid = integerFromValue(lookup(*top, "ownerPID")).value_or(0);
  if (pid >= std::numeric_limits<std::int32_t>::min() && pid <= std::numeric_limits<std::int32_t>::max()) {
    record.ownerPID = static_cast<std::int32_t>(pid);
  }
  record.sessionID = stringFromValue(lookup(*top, "sessionID")).value_or(std::string());
  // The parsed tree is ours alone: take the settings instead of copying them.
  record.settings = std::move(std::get<PlistDictionary>(settings->second.storage));
  return record;
}

std::optional<SnapshotRecord> readSnapshot(Platform& platform, const std::string& path) {
  // A crafted file can ask for more memory than the machine will give (the readers
  // bound it only in proportion to the file): it reads as no record, like any other
  // file the agent cannot read, rather than ending the agent.
  try {
    const auto bytes = platform.readFile(path);
    if (!bytes) return std::nullopt;
    auto root = platform.parsePropertyList(*bytes);
    if (!root) return std::nullopt;
    return snapshotFromPropertyList(std::move(*root));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}
