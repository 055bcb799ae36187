#include "agent/watch.h"

#include "snapshot/snapshot.h"

void watchOwner(Platform& platform, const AgentArguments& arguments) {
  for (;;) {
    // The snapshot comes first: an owner that deactivated or deleted it has finished
    // cleanly, even while its process is still winding down.
    if (!snapshotMatches(readSnapshot(platform, arguments.snapshotPath), arguments)) return;
    if (arguments.ownerPID <= 0) return;
    if (platform.probeProcess(arguments.ownerPID) == ProcessState::gone) return;
    platform.sleepFor(pollInterval);
  }
}
