#pragma once

#include <memory>
#include <span>

#include "platform/owner_platform.h"

inline constexpr int exitUsage = 64;  // EX_USAGE

// The whole run of the agent: `argumentVector` is without the program name. Returns the
// exit status.
int runAgent(std::span<const char* const> argumentVector, OwnerPlatform& platform);

// The same, on the platform `makePlatform` builds, which it does only once there are
// arguments enough: building it may already consult the user database.
int runAgent(std::span<const char* const> arguments, std::unique_ptr<OwnerPlatform> (*makePlatform)());
