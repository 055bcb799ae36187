#include "agent/run.h"

#include "agent/arguments.h"
#include "agent/watch.h"
#include "restore/sessions.h"
#include "snapshot/snapshot.h"

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

  // The newest settings win, even if the file was rewritten since the check above.
  const auto newest = readSnapshot(platform, arguments->snapshotPath);
  if (!newest) return 0;

  // Another application's live session holds the same originals and puts them back at
  // its end; until then the Dock stays as that session has it.
  recoverSession(platform, arguments->snapshotPath, arguments->ownerDomain, newest->settings,
                 !anotherSessionRuns(platform, registry, arguments->snapshotPath));
  if (registry.held()) platform.unregisterSnapshot(arguments->snapshotPath);
  return 0;
}

int runAgent(std::span<const char* const> arguments, std::unique_ptr<OwnerPlatform> (*makePlatform)()) {
  if (arguments.size() < minimumArguments) return exitUsage;
  const auto platform = makePlatform();
  return runAgent(arguments, *platform);
}
