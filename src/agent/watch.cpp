#include "agent/watch.h"

#include <limits>

#include "snapshot/snapshot.h"

void watchOwner(Platform& platform, const AgentArguments& arguments) {
  constexpr double noLimit = std::numeric_limits<double>::infinity();
  // Taken before the first read, so that no change or exit after a read goes unseen.
  if (arguments.ownerPID > 0) platform.startWatch(arguments.ownerPID, arguments.snapshotPath);
  for (;;) {
    auto record = readSnapshot(platform, arguments.snapshotPath);
    if (!record && arguments.ownerPID > 0 && platform.readFile(arguments.snapshotPath)) {
      // There, but not whole: perhaps caught while rewritten in place, the first read
      // too, since the owner may rewrite it while the agent starts.
      if (platform.waitForChange(pollInterval, settleInterval) == Wake::ownerExited) return;
      record = readSnapshot(platform, arguments.snapshotPath);
    }
    // The snapshot comes first: an owner that deactivated or deleted it has finished
    // cleanly, even while its process is still winding down.
    if (!snapshotMatches(record, arguments)) return;
    if (arguments.ownerPID <= 0) return;
    if (platform.probeProcess(arguments.ownerPID) == ProcessState::gone) return;
    // After an exit the snapshot is read once more all the same, by the caller.
    if (platform.waitForChange(pollInterval, noLimit) == Wake::ownerExited) return;
  }
}
