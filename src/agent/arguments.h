#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"
#include "snapshot/snapshot.h"

// The four command-line values, filled once at start.
struct AgentArguments {
  std::string snapshotPath;  // absolute
  std::int32_t ownerPID = 0;
  std::string sessionID;
  std::string ownerDomain;
};

inline constexpr std::size_t minimumArguments = 4;

// The arguments after the program name; nothing when there are fewer than four.
// Arguments after the fourth are ignored.
std::optional<AgentArguments> parseArguments(std::span<const char* const> arguments, Platform& platform);

// Whether `record` exists, is active, and belongs to this owner and session.
bool snapshotMatches(const std::optional<SnapshotRecord>& record, const AgentArguments& arguments);
