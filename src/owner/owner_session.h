#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dock_restore.h"
#include "platform/owner_platform.h"
#include "values/plist_value.h"

// The owner side of the agent: what an application does to hide the Dock safely.

struct OwnerConfig {
  std::string snapshotPath;
  std::string ownerDomain;
  std::string agentPath;
};

struct ActiveSession {
  std::string sessionID;
  PlistDictionary recorded;  // the snapshot's settings: the user's originals
  int agentPID = 0;          // 0 once the agent is known to have exited
};

struct OwnerState {
  OwnerConfig config;
  std::map<std::string, PreferenceValue, std::less<>> staged;  // applied by the next begin
  std::optional<ActiveSession> session;
  std::vector<int> retiredAgents;  // agents of earlier sessions, not yet reaped
};

struct OwnerOutcome {
  dock_restore_status status = DOCK_RESTORE_OK;
  std::string message;
};

// The kind recorded for each Dock key in a snapshot ("bool", "number" or "string");
// empty for any other key.
std::string_view settingType(std::string_view key);

OwnerOutcome stageValue(OwnerState& state, std::string_view key, PreferenceValue value);
OwnerOutcome beginSession(OwnerPlatform& platform, OwnerState& state);
OwnerOutcome endSession(OwnerPlatform& platform, OwnerState& state);
OwnerOutcome recoverAtLaunch(OwnerPlatform& platform, const OwnerConfig& config, bool& restored);
bool isProtected(OwnerPlatform& platform, OwnerState& state);

// Whether the owner recorded as `pid` still runs: a process under that PID that runs
// another program is a newcomer that reused it.
bool ownerIsLive(OwnerPlatform& platform, int pid);
