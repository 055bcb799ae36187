#pragma once

#include <memory>
#include <string>

#include "dock_restore.h"
#include "owner/owner_session.h"

// What a dock_restore_owner handle of the C interface holds.
struct dock_restore_owner {
  std::unique_ptr<OwnerPlatform> platform;
  OwnerState state;
  std::string message;  // what the last call that failed said; "" after one that succeeded
};
