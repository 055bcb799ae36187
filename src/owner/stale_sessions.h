#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/owner_platform.h"

// What dock-restore-recover does: recover every session in the user's registry whose
// owner is gone, by the rules the agent and the owner library follow.

struct StaleRecovery {
  std::vector<std::string> lines;  // one a registered session: what was, or would be, done
  bool complete = true;            // false when a stale session is still left
};

// The Dock gets the user's values back once, from a stale session, where what the
// stale sessions applied still holds, unless a live session still hides it (its
// snapshot then takes over what they applied); every stale session's marker is cleared
// and its snapshot removed and unregistered; the Dock restarts once, only if it was
// written. Live sessions are otherwise left alone. `dryRun` changes nothing and only
// says what it would do.
StaleRecovery recoverStaleSessions(OwnerPlatform& platform, bool dryRun);

// dock-restore-recover's run, once its arguments are read: builds the platform with
// `makePlatform`, recovers (a dry run hands its lines to `say`) and answers the exit
// status: 0 when no stale session is left, 1 when one is, 70 (EX_SOFTWARE) when
// anything fails unexpectedly, memory running out say. Never throws.
int runStaleRecovery(std::unique_ptr<OwnerPlatform> (*makePlatform)(), bool dryRun,
                     void (*say)(const std::string& line)) noexcept;
