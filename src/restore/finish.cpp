#include "restore/finish.h"

// Failures here are deliberately ignored: each step is worth doing even when the one
// before it failed, and the agent has nobody to report to.

void clearOwnerMarker(Platform& platform, const std::string& ownerDomain) {
  platform.setPreference(ownerDomain, std::string(ownerMarkerKey), std::nullopt);
  platform.synchronizePreferences(ownerDomain);
}

void relaunchDock(Platform& platform) { platform.launch(std::string(killallPath), {"Dock"}); }

void removeSnapshotFile(Platform& platform, const std::string& snapshotPath) { platform.removeFile(snapshotPath); }
