#pragma once

#include "agent/arguments.h"
#include "platform/platform.h"

// Seconds between two passes of the owner watch where changes to the snapshot or the
// owner's exit cannot be watched.
inline constexpr double pollInterval = 0.5;

// How long a snapshot that is there but does not read whole is given to become whole,
// unless writes to it pause sooner: an owner rewriting it in place may have been caught
// mid-write. As long as a pass would have waited to read it again.
inline constexpr double settleInterval = 0.5;

// Waits while the snapshot still matches and the owner still runs; returns at the
// first pass where either is no longer so. A pass runs whenever the snapshot changes.
void watchOwner(Platform& platform, const AgentArguments& arguments);
