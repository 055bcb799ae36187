#include "restore/sessions.h"

#include <iterator>
#include <utility>

#include "restore/dock_settings.h"
#include "restore/finish.h"
#include "values/coercions.h"

std::optional<StoredSnapshot> readStored(Platform& platform, const std::string& path) {
  const auto bytes = platform.readFile(path);
  if (!bytes) return std::nullopt;
  auto root = platform.parsePropertyList(*bytes);
  if (!root) return std::nullopt;
  StoredSnapshot stored;
  if (const auto* top = root->get<PlistDictionary>()) {
    stored.ownerStarted = integerFromValue(lookup(*top, ownerStartKey));
    stored.ownerDomain = stringFromValue(lookup(*top, ownerDomainKey));
  }
  auto record = snapshotFromPropertyList(std::move(*root));
  if (!record) return std::nullopt;
  stored.record = std::move(*record);
  return stored;
}

bool ownerRuns(OwnerPlatform& platform, const StoredSnapshot& stored) {
  const int pid = stored.record.ownerPID;
  if (pid <= 0) return false;
  if (stored.ownerStarted) return platform.processStartTime(pid) == stored.ownerStarted;
  if (platform.probeProcess(pid) == ProcessState::gone) return false;
  const auto ours = platform.executablePath(platform.processId());
  return !ours || platform.executablePath(pid) == ours;
}

RegistryLock::RegistryLock(OwnerPlatform& platform)
    : platform_(platform), access_(platform.lockSessionRegistry() ? RegistryAccess::locked : RegistryAccess::absent) {}

RegistryLock::RegistryLock(OwnerPlatform& platform, double limitSeconds)
    : platform_(platform), access_(platform.lockExistingSessionRegistry(limitSeconds)) {}

RegistryLock::~RegistryLock() {
  if (reachable()) platform_.unlockSessionRegistry();
}

std::vector<StoredSnapshot> otherSessions(OwnerPlatform& platform, const std::string& ownPath) {
  std::vector<StoredSnapshot> running;
  std::vector<StoredSnapshot> orphaned;
  for (const auto& path : platform.registeredSnapshots()) {
    if (path == ownPath) continue;
    auto stored = readStored(platform, path);
    if (!isActive(stored)) {
      platform.unregisterSnapshot(path);
    } else {
      (ownerRuns(platform, *stored) ? running : orphaned).push_back(std::move(*stored));
    }
  }
  running.insert(running.end(), std::make_move_iterator(orphaned.begin()), std::make_move_iterator(orphaned.end()));
  return running;
}

bool anotherSessionRuns(OwnerPlatform& platform, const RegistryLock& lock, const std::string& ownPath) {
  if (!lock.held()) return false;
  const auto others = otherSessions(platform, ownPath);
  return !others.empty() && ownerRuns(platform, others.front());
}

void recoverSession(Platform& platform, const std::string& snapshotPath, const std::string& ownerDomain,
                    const PlistDictionary& settings, bool restoreDock) {
  if (restoreDock) restoreDockSettings(platform, settings);
  clearOwnerMarker(platform, ownerDomain);
  if (restoreDock) relaunchDock(platform);
  removeSnapshotFile(platform, snapshotPath);
}
