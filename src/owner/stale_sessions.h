#pragma once

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
