#include "owner/stale_sessions.h"

#include <utility>

#include "restore/dock_settings.h"
#include "restore/finish.h"
#include "restore/sessions.h"

namespace {

struct Stale {
  std::string path;
  StoredSnapshot stored;
};

std::string ownerOf(const StoredSnapshot& stored) {
  return "owner " + std::to_string(stored.record.ownerPID) + " of " + stored.ownerDomain.value_or("an unknown domain");
}

}  // namespace

StaleRecovery recoverStaleSessions(OwnerPlatform& platform, bool dryRun) {
  StaleRecovery result;
  // Busy past the bound, it goes on unlocked, as the agent does.
  const RegistryLock lock(platform, registryLockBoundSeconds);
  if (!lock.reachable()) return result;

  std::vector<Stale> stale;
  bool liveSession = false;
  for (const auto& path : platform.registeredSnapshots()) {
    auto stored = readStored(platform, path);
    if (!isActive(stored)) {
      result.lines.push_back(path + ": nothing in force; " + (dryRun ? "would drop" : "dropped") + " its entry");
      if (!dryRun) platform.unregisterSnapshot(path);
    } else if (ownerRuns(platform, *stored)) {
      liveSession = true;
      result.lines.push_back(path + ": " + ownerOf(*stored) + " runs; left alone");
    } else {
      stale.push_back({path, std::move(*stored)});
    }
  }
  if (stale.empty()) return result;

  // Every session records the same originals, the user's: one restore does for all.
  const bool restore = !liveSession;
  for (const auto& [path, stored] : stale) {
    result.lines.push_back(path + ": " + ownerOf(stored) + " is gone; " + (dryRun ? "would " : "") +
                           (restore ? "restore the Dock, " : "leave the Dock to the live session, ") +
                           (stored.ownerDomain ? "clear the marker, " : "") + "remove the snapshot");
  }
  if (dryRun) return result;

  // What any of them applied: the Dock keeps every other value the user has now.
  const auto dockNow = readDockValues(platform);
  AppliedRecord applied = PlistDictionary{};
  for (const auto& [path, stored] : stale) mergeApplied(applied, stored.applied, dockNow);
  const std::string dock(dockDomain);
  if (restore) {
    restoreChangedSettings(platform, stale.front().stored.record.settings, applied);
    // As end does: until the Dock holds the user's values, the snapshots that record
    // them stay, for the next run.
    if (!platform.synchronizePreferences(dock)) {
      result.complete = false;
      return result;
    }
  } else if (lock.held()) {  // unlocked, a live owner's begin may be rewriting its snapshot
    handOverApplied(platform, {}, applied);
  }
  for (const auto& [path, stored] : stale) {
    // A snapshot that does not name its owner's domain leaves the marker to the
    // application's own recover at its next launch.
    if (stored.ownerDomain) clearOwnerMarker(platform, *stored.ownerDomain);
    removeSnapshotFile(platform, path);
    platform.unregisterSnapshot(path);
    if (isActive(readStored(platform, path))) result.complete = false;
  }
  if (restore) relaunchDock(platform);
  return result;
}

int runStaleRecovery(std::unique_ptr<OwnerPlatform> (*makePlatform)(), bool dryRun,
                     void (*say)(const std::string& line)) noexcept {
  constexpr int exitIncomplete = 1;
  constexpr int exitSoftware = 70;  // EX_SOFTWARE
  try {
    const auto platform = makePlatform();
    // At login nobody reads what it or a library it uses might say.
    if (!dryRun) platform->detachFromTerminal();
    const auto recovery = recoverStaleSessions(*platform, dryRun);
    if (dryRun) {
      for (const auto& line : recovery.lines) say(line);
    }
    return recovery.complete ? 0 : exitIncomplete;
  } catch (...) {
    return exitSoftware;
  }
}
