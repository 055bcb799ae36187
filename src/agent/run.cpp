#include "agent/run.h"

#include "agent/arguments.h"
#include "agent/watch.h"
#include "restore/dock_settings.h"
#include "restore/finish.h"
#include "snapshot/snapshot.h"

int runAgent(std::span<const char* const> argumentVector, Platform& platform) {
  const auto arguments = parseArguments(argumentVector, platform);
  if (!arguments) return exitUsage;
  platform.detachFromTerminal();

  watchOwner(platform, *arguments);

  // The owner may have finished cleanly between the last pass and now.
  if (!snapshotMatches(readSnapshot(platform, arguments->snapshotPath), *arguments)) return 0;

  // The newest settings win, even if the file was rewritten since the check above.
  const auto newest = readSnapshot(platform, arguments->snapshotPath);
  if (!newest) return 0;

  restoreDockSettings(platform, newest->settings);
  clearOwnerMarker(platform, arguments->ownerDomain);
  relaunchDock(platform);
  removeSnapshotFile(platform, arguments->snapshotPath);
  return 0;
}

int runAgent(std::span<const char* const> arguments, std::unique_ptr<Platform> (*makePlatform)()) {
  if (arguments.size() < minimumArguments) return exitUsage;
  const auto platform = makePlatform();
  return runAgent(arguments, *platform);
}
