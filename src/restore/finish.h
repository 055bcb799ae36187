#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

// The key an owner keeps in its own domain while its snapshot is in force.
inline constexpr std::string_view ownerMarkerKey = "velko.systemDockVisibilitySnapshot";
inline constexpr std::string_view killallPath = "/usr/bin/killall";

// Deletes the owner's marker key from `ownerDomain` and synchronizes that domain.
void clearOwnerMarker(Platform& platform, const std::string& ownerDomain);

// Starts `killall Dock` so the Dock comes back with the restored settings; not waited for.
void relaunchDock(Platform& platform);

void removeSnapshotFile(Platform& platform, const std::string& snapshotPath);
