#include "owner/owner_session.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <system_error>
#include <utility>
#include <vector>

#include "restore/dock_settings.h"
#include "restore/finish.h"
#include "restore/sessions.h"
#include "snapshot/snapshot.h"
#include "values/coercions.h"
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

OwnerOutcome failure(dock_restore_status status, std::string message) { return {status, std::move(message)}; }

std::string describeError(int error) { return std::generic_category().message(error); }

// `text` in double quotes, appended piece by piece (GCC 12 at -O3 warns falsely about
// overlapping copies in a chain of + on a temporary).
std::string quoted(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  return result.append("\"").append(text).append("\"");
}

// Why the Dock cannot take `value` for `key`; empty when it can.
std::string unusable(std::string_view key, const PreferenceValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    if (!isValidUtf8(*text)) return "is not UTF-8 text";
    if (key == "orientation" && *text != "bottom" && *text != "left" && *text != "right") {
      return R"(must be "bottom", "left" or "right")";
    }
  }
  if (const auto* number = std::get_if<double>(&value)) {
    if (!std::isfinite(*number)) return "must be a finite number";
    if (key == "autohide-delay" && *number < 0) return "must not be negative";
  }
  return {};
}

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

// The six keys as the Dock has them now (`dockNow`); a key that is not set is left
// out, so that recovery deletes it again.
PlistDictionary recordSettings(const PlistDictionary& dockNow) {
  PlistDictionary recorded;
  for (const auto& [key, type] : settingTypes) {
    if (const auto* value = lookup(dockNow, key)) {
      recorded.emplace(key, PlistDictionary{{"type", std::string(type)}, {"value", *value}});
    }
  }
  return recorded;
}

OwnerOutcome checkConfig(const OwnerConfig& config) {
  if (config.snapshotPath.empty() || config.snapshotPath.front() != '/') {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT,
                   "the snapshot path must be absolute: \"" + config.snapshotPath + "\"");
  }
  if (config.ownerDomain.empty()) return failure(DOCK_RESTORE_INVALID_ARGUMENT, "the owner domain is empty");
  return {};
}

bool agentRuns(OwnerPlatform& platform, const ActiveSession& session) {
  if (session.agentPID <= 0) return false;
  if (session.agentStarted) return platform.processStartTime(session.agentPID) == session.agentStarted;
  return platform.probeProcess(session.agentPID) == ProcessState::alive;
}

// Whether the owner recorded in `stored`, a snapshot at this application's own path, is
// gone. The recorded PID may be ours by now (PIDs are handed out again after a restart);
// it is this very process only when another handle of ours wrote the snapshot.
bool ownerGone(OwnerPlatform& platform, const StoredSnapshot& stored) {
  const int ownPID = platform.processId();
  if (stored.record.ownerPID != ownPID) return !ownerRuns(platform, stored);
  return !stored.ownerStarted || stored.ownerStarted != platform.processStartTime(ownPID);
}

// What the agent would have done, had it lived; the Dock itself waits for the last live
// session, as with end.
void recoverStale(OwnerPlatform& platform, const OwnerConfig& config, const RegistryLock& lock,
                  const StoredSnapshot& stored) {
  recoverSession(platform, config.snapshotPath, config.ownerDomain, stored.record.settings, stored.applied,
                 !anotherSessionRuns(platform, lock, config.snapshotPath));
  if (lock.held()) platform.unregisterSnapshot(config.snapshotPath);
}

// What begin found before it changed anything, to put back when a later step fails.
struct BeforeBegin {
  std::optional<std::string> snapshotBytes;
  std::optional<StoredSnapshot> snapshot;
  PlistDictionary dock;
  bool marked = false;
  bool registered = false;
};

void rollBack(OwnerPlatform& platform, OwnerState& state, const BeforeBegin& before) {
  const auto& config = state.config;
  if (before.snapshotBytes) {
    platform.writeFileAtomically(config.snapshotPath, *before.snapshotBytes);
  } else {
    platform.removeFile(config.snapshotPath);
  }
  if (!before.registered) platform.unregisterSnapshot(config.snapshotPath);
  if (!before.marked) clearOwnerMarker(platform, config.ownerDomain);
  if (isActive(before.snapshot)) {
    // Our snapshot made the previous session's agent stand down, or will: it gets a new
    // one. Should the old one have read its own session back in time and stayed, two
    // agents restore the same values, which is harmless; none would not be.
    const auto& previous = before.snapshot->record;
    const int pid = platform.startDetached(config.agentPath, {config.snapshotPath, std::to_string(previous.ownerPID),
                                                              previous.sessionID, config.ownerDomain});
    if (state.session && state.session->sessionID == previous.sessionID) {
      state.session->agentPID = std::max(pid, 0);
      state.session->agentStarted = platform.processStartTime(pid);
    }
  }
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
    return failure(DOCK_RESTORE_INVALID_ARGUMENT, quoted(key).append(" is not one of the six Dock keys"));
  }
  if (type != entryType(value)) {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT,
                   quoted(key).append(" takes a ").append(type).append(", not a ").append(entryType(value)));
  }
  if (const auto why = unusable(key, value); !why.empty()) {
    return failure(DOCK_RESTORE_INVALID_ARGUMENT, "the value for " + quoted(key).append(" ").append(why));
  }
  state.staged.insert_or_assign(std::string(key), std::move(value));
  return {};
}

void discardValues(OwnerState& state) { state.staged.clear(); }

OwnerOutcome beginSession(OwnerPlatform& platform, OwnerState& state) {
  const auto& config = state.config;
  if (auto invalid = checkConfig(config); invalid.status != DOCK_RESTORE_OK) return invalid;
  if (!platform.isExecutableFile(config.agentPath)) {
    return failure(DOCK_RESTORE_AGENT_UNAVAILABLE,
                   "the agent \"" + config.agentPath + "\" does not exist or is not executable");
  }
  // Held to the end, so that another application's begin sees this session whole.
  const RegistryLock lock(platform);
  if (!lock.held()) {
    return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot reach the registry of Dock sessions in the home folder");
  }
  const std::string dock(dockDomain);
  auto dockNow = readDockValues(platform);
  // A session on this path whose owner is gone holds originals that may be old by now:
  // the user may have changed the Dock since, or it was never recovered (a power cut
  // before its marker). It is recovered first, as recover would, and never adopted.
  BeforeBegin before;
  before.snapshot = readStored(platform, config.snapshotPath);
  const bool ownSession =
      state.session && isActive(before.snapshot) && before.snapshot->record.sessionID == state.session->sessionID;
  if (dockNow && isActive(before.snapshot) && !ownSession && ownerGone(platform, *before.snapshot)) {
    recoverStale(platform, config, lock, *before.snapshot);
    before.snapshot = readStored(platform, config.snapshotPath);
    dockNow = readDockValues(platform);
  }
  if (!dockNow) {
    return failure(DOCK_RESTORE_DOCK_UNREADABLE,
                   "the Dock's current settings cannot be read (com.apple.dock is unreadable or not a property "
                   "list); nothing changed");
  }

  before.dock = recordSettings(*dockNow);
  before.snapshotBytes = platform.readFile(config.snapshotPath);
  // One original per user: our own session's, another instance's on this path, or
  // another application's, before the Dock as it is now (which may show theirs).
  const auto others = otherSessions(platform, config.snapshotPath);
  PlistDictionary originals;
  if (state.session) {
    originals = state.session->recorded;
  } else if (isActive(before.snapshot)) {
    originals = before.snapshot->record.settings;
  } else if (!others.empty()) {
    originals = others.front().record.settings;
  } else {
    originals = before.dock;
  }

  // A session begun again applies its earlier values too, in case they were lost with
  // its agent, and the new ones over them.
  auto applied = state.session ? state.session->applied : decltype(state.staged){};
  for (const auto& [key, value] : state.staged) applied.insert_or_assign(key, value);
  // Whoever ends last puts back what any session that shares these originals applied:
  // what the snapshot on this path and the other sessions record, under this begin's
  // values, the newest.
  AppliedRecord appliedRecord = PlistDictionary{};
  if (isActive(before.snapshot)) mergeApplied(appliedRecord, before.snapshot->applied, dockNow);
  for (const auto& other : others) mergeApplied(appliedRecord, other.applied, dockNow);
  if (appliedRecord) {
    for (const auto& [key, value] : applied) appliedRecord->insert_or_assign(key, settingEntry(value));
  }

  const auto sessionID = freshSessionID(platform);
  if (!sessionID) return failure(DOCK_RESTORE_SYSTEM_ERROR, "the system's random source failed");
  const int ownPID = platform.processId();
  PlistDictionary content{
      {"active", true}, {"ownerPID", PlistInteger{ownPID}}, {"sessionID", *sessionID}, {"snapshot", originals}};
  if (const auto started = platform.processStartTime(ownPID)) content.emplace(ownerStartKey, PlistInteger{*started});
  content.emplace(ownerDomainKey, config.ownerDomain);
  if (appliedRecord) content.emplace(appliedKey, std::move(*appliedRecord));
  const auto bytes = platform.serializePropertyList(content);
  if (!bytes) return failure(DOCK_RESTORE_SYSTEM_ERROR, "the Dock's current settings cannot be written to a snapshot");

  // Findable before it can be active: whatever a power cut leaves of what follows,
  // dock-restore-recover finds the snapshot through its entry.
  const auto registered = platform.registeredSnapshots();
  before.registered = std::ranges::find(registered, config.snapshotPath) != registered.end();
  if (!platform.registerSnapshot(config.snapshotPath)) {
    if (!before.registered) platform.unregisterSnapshot(config.snapshotPath);
    return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot add the session to the registry of Dock sessions");
  }
  if (const int error = platform.writeFileAtomically(config.snapshotPath, *bytes); error != 0) {
    if (!before.registered) platform.unregisterSnapshot(config.snapshotPath);
    return failure(DOCK_RESTORE_SNAPSHOT_UNWRITABLE,
                   "cannot write the snapshot \"" + config.snapshotPath + "\": " + describeError(error));
  }
  // The marker holds the snapshot's path, for the application's own information;
  // recovery only asks whether it is set.
  const std::string markerKey(ownerMarkerKey);
  before.marked = platform.readPreference(config.ownerDomain, markerKey).has_value();
  platform.setPreference(config.ownerDomain, markerKey, config.snapshotPath);
  if (!platform.synchronizePreferences(config.ownerDomain)) {
    rollBack(platform, state, before);
    return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot set the marker in \"" + config.ownerDomain + "\"");
  }
  const int agentPID = platform.startDetached(
      config.agentPath, {config.snapshotPath, std::to_string(ownPID), *sessionID, config.ownerDomain});
  if (agentPID <= 0) {
    rollBack(platform, state, before);
    return failure(DOCK_RESTORE_AGENT_UNAVAILABLE,
                   "cannot start the agent \"" + config.agentPath + "\": " + describeError(-agentPID));
  }

  // Only now, with the agent watching, is the Dock changed.
  for (const auto& [key, value] : applied) platform.setPreference(dock, key, value);
  if (!platform.synchronizePreferences(dock)) {
    for (const auto& [key, value] : applied) {
      platform.setPreference(dock, key, preferenceFromEntry(lookup(before.dock, key)));
    }
    platform.synchronizePreferences(dock);
    rollBack(platform, state, before);
    return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot write the Dock's preferences; nothing changed");
  }
  state.session = ActiveSession{*sessionID, std::move(originals), agentPID, platform.processStartTime(agentPID),
                                std::move(applied)};
  relaunchDock(platform);
  state.staged.clear();
  return {};
}

OwnerOutcome endSession(OwnerPlatform& platform, OwnerState& state) {
  if (!state.session) return failure(DOCK_RESTORE_NO_SESSION, "there is no session to end");
  const auto& config = state.config;
  // Without the registry, nothing tells of other sessions: the user's values come back.
  const RegistryLock lock(platform);

  const auto current = readStored(platform, config.snapshotPath);
  if (isActive(current) && current->record.sessionID != state.session->sessionID) {
    // Another instance has begun since: the Dock is its to put back.
    state.session.reset();
    return {};
  }
  // What this session and those it took originals from applied; the snapshot gone, what
  // this handle applied.
  AppliedRecord applied = PlistDictionary{};
  if (isActive(current)) {
    applied = current->applied;
  } else {
    for (const auto& [key, value] : state.session->applied) applied->emplace(key, settingEntry(value));
  }
  // While another application still hides the Dock, its values stay until the last
  // session ends, and that one puts back the same originals, and what this one applied.
  if (anotherSessionRuns(platform, lock, config.snapshotPath)) {
    handOverApplied(platform, config.snapshotPath, applied);
  } else {
    restoreChangedSettings(platform, state.session->recorded, applied);
    // Its own synchronize's answer is not kept; asking again tells whether it held.
    if (!platform.synchronizePreferences(std::string(dockDomain))) {
      return failure(DOCK_RESTORE_SYSTEM_ERROR, "cannot write the Dock's preferences; the session stays active");
    }
    relaunchDock(platform);
  }
  removeSnapshotFile(platform, config.snapshotPath);
  clearOwnerMarker(platform, config.ownerDomain);
  if (lock.held()) platform.unregisterSnapshot(config.snapshotPath);
  state.session.reset();
  return {};
}

OwnerOutcome recoverAtLaunch(OwnerPlatform& platform, const OwnerConfig& config, bool& restored) {
  restored = false;
  if (auto invalid = checkConfig(config); invalid.status != DOCK_RESTORE_OK) return invalid;
  // Either may be left without the other by a power cut: begin sets the marker after its
  // snapshot is active, and a recovery clears it before the snapshot is removed.
  const bool marked = platform.readPreference(config.ownerDomain, std::string(ownerMarkerKey)).has_value();
  if (!marked && !isActive(readStored(platform, config.snapshotPath))) return {};
  const RegistryLock lock(platform);
  const auto stored = readStored(platform, config.snapshotPath);
  if (!isActive(stored)) {
    // A marker with nothing in force: the Dock was put back already.
    clearOwnerMarker(platform, config.ownerDomain);
    if (lock.held()) platform.unregisterSnapshot(config.snapshotPath);
    return {};
  }
  if (!ownerGone(platform, *stored)) return {};
  recoverStale(platform, config, lock, *stored);
  restored = true;
  return {};
}

dock_restore_state sessionState(OwnerPlatform& platform, const OwnerState& state) {
  if (!state.session) return DOCK_RESTORE_STATE_NONE;
  const auto current = readStored(platform, state.config.snapshotPath);
  if (!isActive(current) || current->record.sessionID != state.session->sessionID) return DOCK_RESTORE_STATE_TAKEN_OVER;
  return agentRuns(platform, *state.session) ? DOCK_RESTORE_STATE_PROTECTED : DOCK_RESTORE_STATE_AGENT_GONE;
}
