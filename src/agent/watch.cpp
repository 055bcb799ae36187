#include "agent/watch.h"

#include "snapshot/snapshot.h"

void watchOwner(Platform& platform, const AgentArguments& arguments) {
  bool watching = false;
  bool ownerExited = false;
  for (;;) {
    // The snapshot comes first: an owner that deactivated or deleted it has finished
    // cleanly, even while its process is still winding down.
    if (!snapshotMatches(readSnapshot(platform, arguments.snapshotPath), arguments)) return;
    if (arguments.ownerPID <= 0) return;
    if (!watching) {
      // Taken before the first probe, so an exit between probe and pause is not missed.
      platform.watchForExit(arguments.ownerPID);
      watching = true;
    }
    if (ownerExited || platform.probeProcess(arguments.ownerPID) == ProcessState::gone) return;
    ownerExited = platform.sleepFor(pollInterval);
  }
}
