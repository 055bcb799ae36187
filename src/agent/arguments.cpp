#include "agent/arguments.h"

#include "values/coercions.h"
#include "values/unicode_text.h"

std::optional<AgentArguments> parseArguments(std::span<const char* const> arguments, Platform& platform) {
  if (arguments.size() < minimumArguments) return std::nullopt;
  AgentArguments result;
  result.snapshotPath = arguments[0];
  if (result.snapshotPath.empty() || result.snapshotPath.front() != '/') {
    // Fixed once: the agent reads and removes the same file wherever its working
    // directory later is.
    std::string directory = platform.currentDirectory();
    if (!directory.empty()) {
      if (directory.back() != '/') directory += '/';
      result.snapshotPath = directory + result.snapshotPath;
    }
  }
  result.ownerPID = static_cast<std::int32_t>(parseDecimalInteger(arguments[1], 32).value_or(0));
  result.sessionID = arguments[2];
  result.ownerDomain = arguments[3];
  return result;
}

bool snapshotMatches(const std::optional<SnapshotRecord>& record, const AgentArguments& arguments) {
  return record && record->active && record->ownerPID == arguments.ownerPID &&
         canonicallyEqual(record->sessionID, arguments.sessionID);
}
