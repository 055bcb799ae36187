#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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
  PlistDictionary recorded;                  // the snapshot's settings: the user's originals
  int agentPID = 0;                          // 0 when no agent could be started for it
  std::optional<std::int64_t> agentStarted;  // tells the agent from a process that reused its PID
  // What the session has applied over all its begins, so that a begin after the agent
  // is gone puts the Dock back as the session had it.
  std::map<std::string, PreferenceValue, std::less<>> applied;
};

struct OwnerState {
  OwnerConfig config;
  std::map<std::string, PreferenceValue, std::less<>> staged;  // applied by the next begin
  std::optional<ActiveSession> session;
};

struct OwnerOutcome {
  dock_restore_status status = DOCK_RESTORE_OK;
  std::string message;
};

// The kind recorded for each Dock key in a snapshot ("bool", "number" or "string");
// empty for any other key.
std::string_view settingType(std::string_view key);

OwnerOutcome stageValue(OwnerState& state, std::string_view key, PreferenceValue value);
// Forgets the values staged since the last successful begin.
void discardValues(OwnerState& state);
OwnerOutcome beginSession(OwnerPlatform& platform, OwnerState& state);
OwnerOutcome endSession(OwnerPlatform& platform, OwnerState& state);
OwnerOutcome recoverAtLaunch(OwnerPlatform& platform, const OwnerConfig& config, bool& restored);
dock_restore_state sessionState(OwnerPlatform& platform, const OwnerState& state);
