#include "agent/run.h"

#include <new>

#include "agent/arguments.h"
#include "agent/watch.h"
#include "restore/sessions.h"
#include "snapshot/snapshot.h"

namespace {

// As the watch's reads: a file that asks for more memory than there is reads as none.
std::optional<StoredSnapshot> readNewest(OwnerPlatform& platform, const std::string& path) {
  try {
    return readStored(platform, path);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

int runAgent(std::span<const char* const> argumentVector, OwnerPlatform& platform) {
  const auto arguments = parseArguments(argumentVector, platform);
  if (!arguments) return exitUsage;
  platform.detachFromTerminal();

  watchOwner(platform, *arguments);

  // Taken only now, never while watching, and before the snapshot is read again: the
  // recovery command or an ending owner may be recovering this very session.
  const RegistryLock registry(platform, registryLockBoundSeconds);

  // The owner may have finished cleanly between the last pass and now.
  if (!snapshotMatches(readSnapshot(platform, arguments->snapshotPath), *arguments)) return 0;

  // The newest settings win, even if the file was rewritten since the check above. With
  // a record of what the session applied, only what still holds that value goes back.
  const auto newest = readNewest(platform, arguments->snapshotPath);
  if (!newest) return 0;

  // Another application's live session holds the same originals and puts them back at
  // its end, what this session applied included; until then the Dock stays as it is.
  recoverSession(platform, arguments->snapshotPath, arguments->ownerDomain, newest->record.settings, newest->applied,
                 !anotherSessionRuns(platform, registry, arguments->snapshotPath));
  if (registry.held()) platform.unregisterSnapshot(arguments->snapshotPath);
  return 0;
}

int runAgent(std::span<const char* const> arguments, std::unique_ptr<OwnerPlatform> (*makePlatform)()) {
  if (arguments.size() < minimumArguments) return exitUsage;
  const auto platform = makePlatform();
  return runAgent(arguments, *platform);
}
