#include "owner/owner_session.h"

#include <array>
#include <cstdint>
#include <system_error>
#include <utility>

#include "restore/dock_settings.h"
#include "restore/finish.h"
#include "snapshot/snapshot.h"
#include "values/unicode_text.h"

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> settingTypes = {{
    {"orientation", "string"},
    {"autohide", "bool"},
    {"autohide-delay", "number"},
    {"autohide-time-modifier", "number"},
    {"no-bouncing", "bool"},
    {"launchanim", "bool"},
}};

std::string_view typeOf(const PreferenceValue& value) {
  if (std::holds_alternative<bool>(value)) return "bool";
  if (std::holds_alternative<double>(value)) return "number";
  return "string";
}

OwnerOutcome failure(dock_restore_status status, std::string message) { return {status, std::move(message)}; }

std::string describeError(int error) { return std::generic_category().message(error); }

// A version 4 UUID in upper case, as Foundation writes one.
std::optional<std::string> freshSessionID(OwnerPlatform& platform) {
  std::array<std::uint8_t, 16> bytes{};
  if (!platform.randomBytes(bytes)) return std::nullopt;
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  constexpr char digits[] = "0123456789ABCDEF";
  std::string id;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += digits[bytes[i] >> 4];
    id += digits[bytes[i] & 0x0F];
  }
  return id;
}

// The six keys as the Dock has them now; a key that is not set is left out, so that
// recovery deletes it again.
PlistDictionary recordCurrentSettings(OwnerPlatform& platform) {
  PlistDictionary recorded;
  for (const auto& [key, type] : settingTypes) {
    auto value = platform.readPreference(std::string(dockDomain), std::string(key));
    if (!value) continue;
    recorded.emplace(key, PlistDictionary{{"type", std::string(type)}, {"value", std::move(*value)}});
  }
  return recorded;
}

void reapRetired(OwnerPlatform& platform, OwnerState& state) {
  platform.reapLaunched();
  std::erase_if(state.retiredAgents, [&](int pid) { return platform.childState(pid) == ProcessState::gone; });
}

void retireAgent(OwnerState& state) {
  if (state.session && state.session->agentPID > 0) state.retiredAgents.push_back(state.session->agentPID);
  state.session.reset();
}

OwnerOutcome checkConfig(const OwnerConfig& config) {
  if (config.snapshotPath.empty() || config.snapshotPath.front() != '/') {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT,
                   "the snapshot path must be absolute: \"" + config.snapshotPath + "\"");
  }
  if (config.ownerDomain.empty()) return failure(DOCK_RESTORE_INVALID_ARGUMENT, "the owner domain is empty");
  return {};
}

}  // namespace

std::string_view settingType(std::string_view key) {
  for (const auto& [name, type] : settingTypes) {
    if (name == key) return type;
  }
  return {};
}

OwnerOutcome stageValue(OwnerState& state, std::string_view key, PreferenceValue value) {
  const auto type = settingType(key);
  if (type.empty()) {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT, "\"" + std::string(key) + "\" is not one of the six Dock keys");
  }
  if (type != typeOf(value)) {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT, "\"" + std::string(key) + "\" takes a " + std::string(type) +
                                                      ", not a " + std::string(typeOf(value)));
  }
  if (const auto* text = std::get_if<std::string>(&value); text != nullptr && !isValidUtf8(*text)) {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT, "the value for \"" + std::string(key) + "\" is not UTF-8 text");
  }
  state.staged.insert_or_assign(std::string(key), std::move(value));
  return {};
}

bool ownerIsLive(OwnerPlatform& platform, int pid) {
  if (pid <= 0 || platform.probeProcess(pid) == ProcessState::gone) return false;
  const auto ours = platform.executablePath(platform.processId());
  // Without our own path there is nothing to compare: a running process counts.
  return !ours || platform.executablePath(pid) == ours;
}

OwnerOutcome beginSession(OwnerPlatform& platform, OwnerState& state) {
  reapRetired(platform, state);
  const auto& config = state.config;
  if (auto invalid = checkConfig(config); invalid.status != DOCK_RESTORE_OK) return invalid;
  if (!platform.isExecutableFile(config.agentPath)) {
    return failure(DOCK_RESTORE_AGENT_UNAVAILABLE,
                   "the agent \"" + config.agentPath + "\" does not exist or is not executable");
  }

  // One original, however many begins: an active snapshot already holds the user's
  // values, while the Dock now shows ours, or another instance's.
  const auto previousBytes = platform.readFile(config.snapshotPath);
  const auto previous = readSnapshot(platform, config.snapshotPath);
  PlistDictionary originals = state.session                  ? state.session->recorded
                              : previous && previous->active ? previous->settings
                                                             : recordCurrentSettings(platform);

  const auto sessionID = freshSessionID(platform);
  if (!sessionID) return failure(DOCK_RESTORE_SYSTEM_ERROR, "the system's random source failed");
  const int ownPID = platform.processId();
  const auto bytes = platform.serializePropertyList(PlistDictionary{
      {"active", true},
      {"ownerPID", PlistInteger{ownPID}},
      {"sessionID", *sessionID},
      {"snapshot", originals},
  });
  if (!bytes) return failure(DOCK_RESTORE_SYSTEM_ERROR, "the Dock's current settings cannot be written to a snapshot");
  if (const int error = platform.writeFileAtomically(config.snapshotPath, *bytes); error != 0) {
    return failure(DOCK_RESTORE_SNAPSHOT_UNWRITABLE,
                   "cannot write the snapshot \"" + config.snapshotPath + "\": " + describeError(error));
  }

  // The marker holds the snapshot's path, for the application's own information;
  // recovery only asks whether it is set.
  const std::string markerKey(ownerMarkerKey);
  const bool wasMarked = platform.readPreference(config.ownerDomain, markerKey).has_value();
  platform.setPreference(config.ownerDomain, markerKey, config.snapshotPath);
  const bool marked = platform.synchronizePreferences(config.ownerDomain);
  const int agentPID = marked ? platform.startDetached(config.agentPath, {config.snapshotPath, std::to_string(ownPID),
                                                                          *sessionID, config.ownerDomain})
                              : 0;
  if (agentPID <= 0) {
    // Put back what was there: a session of ours or of another instance stays protected.
    if (previousBytes) {
      platform.writeFileAtomically(config.snapshotPath, *previousBytes);
    } else {
      platform.removeFile(config.snapshotPath);
    }
    if (!wasMarked) clearOwnerMarker(platform, config.ownerDomain);
    if (!marked) return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot set the marker in \"" + config.ownerDomain + "\"");
    return failure(DOCK_RESTORE_AGENT_UNAVAILABLE,
                   "cannot start the agent \"" + config.agentPath + "\": " + describeError(-agentPID));
  }
  retireAgent(state);
  state.session = ActiveSession{*sessionID, std::move(originals), agentPID};

  // Only now, with the agent watching, is the Dock changed.
  const std::string dock(dockDomain);
  for (const auto& [key, value] : state.staged) platform.setPreference(dock, key, value);
  const bool applied = platform.synchronizePreferences(dock);
  relaunchDock(platform);
  if (!applied) return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot write the Dock's preferences");
  state.staged.clear();
  return {};
}

OwnerOutcome endSession(OwnerPlatform& platform, OwnerState& state) {
  reapRetired(platform, state);
  if (!state.session) return failure(DOCK_RESTORE_NO_SESSION, "there is no session to end");
  const auto& config = state.config;

  const auto current = readSnapshot(platform, config.snapshotPath);
  if (current && current->active && current->sessionID != state.session->sessionID) {
    retireAgent(state);
    return {};
  }
  restoreDockSettings(platform, state.session->recorded);
  // Its own synchronize's answer is not kept; asking again tells whether it held.
  if (!platform.synchronizePreferences(std::string(dockDomain))) {
    return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot write the Dock's preferences; the session stays active");
  }
  relaunchDock(platform);
  removeSnapshotFile(platform, config.snapshotPath);
  clearOwnerMarker(platform, config.ownerDomain);
  retireAgent(state);
  return {};
}

OwnerOutcome recoverAtLaunch(OwnerPlatform& platform, const OwnerConfig& config, bool& restored) {
  restored = false;
  if (auto invalid = checkConfig(config); invalid.status != DOCK_RESTORE_OK) return invalid;
  if (!platform.readPreference(config.ownerDomain, std::string(ownerMarkerKey))) return {};
  const auto record = readSnapshot(platform, config.snapshotPath);
  if (!record || !record->active || ownerIsLive(platform, record->ownerPID)) return {};

  // What the agent would have done, had it lived.
  restoreDockSettings(platform, record->settings);
  clearOwnerMarker(platform, config.ownerDomain);
  relaunchDock(platform);
  removeSnapshotFile(platform, config.snapshotPath);
  restored = true;
  return {};
}

bool isProtected(OwnerPlatform& platform, OwnerState& state) {
  reapRetired(platform, state);
  if (!state.session || state.session->agentPID <= 0) return false;
  if (platform.childState(state.session->agentPID) == ProcessState::alive) return true;
  state.session->agentPID = 0;
  return false;
}
