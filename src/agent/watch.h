#pragma once

#include "agent/arguments.h"
#include "platform/platform.h"

// Seconds between two passes of the owner watch.
inline constexpr double pollInterval = 0.5;

// Waits while the snapshot still matches and the owner still runs; returns at the
// first pass where either is no longer so.
void watchOwner(Platform& platform, const AgentArguments& arguments);
