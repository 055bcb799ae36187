#include "restore/sessions.h"

#include <iterator>
#include <utility>

#include "restore/dock_settings.h"
#include "restore/finish.h"
#include "values/coercions.h"

namespace {

// The snapshot `root` holds, which it takes apart.
std::optional<StoredSnapshot> storedFrom(PlistValue root) {
  StoredSnapshot stored;
  if (const auto* top = root.get<PlistDictionary>()) {
    stored.ownerStarted = integerFromValue(lookup(*top, ownerStartKey));
    stored.ownerDomain = stringFromValue(lookup(*top, ownerDomainKey));
    const auto* applied = lookup(*top, appliedKey);
    if (const auto* entries = applied != nullptr ? applied->get<PlistDictionary>() : nullptr) stored.applied = *entries;
  }
  auto record = snapshotFromPropertyList(std::move(root));
  if (!record) return std::nullopt;
  stored.record = std::move(*record);
  return stored;
}

}  // namespace

std::optional<StoredSnapshot> readStored(Platform& platform, const std::string& path) {
  const auto bytes = platform.readFile(path);
  if (!bytes) return std::nullopt;
  auto root = platform.parsePropertyList(*bytes);
  if (!root) return std::nullopt;
  return storedFrom(std::move(*root));
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

void handOverApplied(OwnerPlatform& platform, const std::string& ownPath, const AppliedRecord& applied) {
  const auto dockNow = readDockValues(platform);
  for (const auto& path : platform.registeredSnapshots()) {
    if (path == ownPath) continue;
    const auto bytes = platform.readFile(path);
    auto root = bytes ? platform.parsePropertyList(*bytes) : std::nullopt;
    auto* top = root ? std::get_if<PlistDictionary>(&root->storage) : nullptr;
    if (top == nullptr) continue;
    const auto stored = storedFrom(*root);
    if (!isActive(stored) || !ownerRuns(platform, *stored)) continue;
    auto merged = stored->applied;
    mergeApplied(merged, applied, dockNow);
    if (merged == stored->applied) continue;
    // Everything else in the file stays as its owner wrote it.
    if (merged) {
      top->insert_or_assign(std::string(appliedKey), std::move(*merged));
    } else {
      top->erase(std::string(appliedKey));
    }
    if (const auto rewritten = platform.serializePropertyList(*root)) platform.writeFileAtomically(path, *rewritten);
  }
}

void recoverSession(OwnerPlatform& platform, const std::string& snapshotPath, const std::string& ownerDomain,
                    const PlistDictionary& settings, const AppliedRecord& applied, bool restoreDock) {
  if (restoreDock) {
    restoreChangedSettings(platform, settings, applied);
  } else {
    handOverApplied(platform, snapshotPath, applied);
  }
  clearOwnerMarker(platform, ownerDomain);
  if (restoreDock) relaunchDock(platform);
  removeSnapshotFile(platform, snapshotPath);
}
