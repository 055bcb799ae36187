#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/owner_platform.h"
#include "restore/dock_settings.h"
#include "snapshot/snapshot.h"
#include "values/plist_value.h"

// Sessions as the per-user registry knows them: what the owner library, the agent and
// dock-restore-recover each decide from, by the same rules.

// Keys beside those the agent reads, which it ignores: when the owner started, so that
// a process that reused its PID is not taken for it, and the owner's domain, so that
// its marker can be cleared by whoever recovers the session; and what the session
// applied to the Dock, so that recovery puts back only what still holds its value.
inline constexpr std::string_view ownerStartKey = "ownerStartTime";
inline constexpr std::string_view ownerDomainKey = "ownerDomain";
inline constexpr std::string_view appliedKey = "applied";

// How long the agent and the recovery command wait for the registry's lock: a hung or
// stopped application may hold it, and a restore that may overlap another session is
// better than none.
inline constexpr double registryLockBoundSeconds = 2.0;

// A snapshot as the library reads it: the agent's record and what the owner added.
struct StoredSnapshot {
  SnapshotRecord record;
  std::optional<std::int64_t> ownerStarted;
  std::optional<std::string> ownerDomain;
  AppliedRecord applied;  // none when it is missing or not a dictionary
};

std::optional<StoredSnapshot> readStored(Platform& platform, const std::string& path);

inline bool isActive(const std::optional<StoredSnapshot>& stored) { return stored && stored->record.active; }

// Whether the owner recorded in `stored` still runs. With its start time recorded, a
// process under its PID is it only when it started then, whatever program it runs now
// (an update may have replaced it). Without (an owner that writes its own snapshot), a
// process under that PID that runs another program is a newcomer that reused it.
bool ownerRuns(OwnerPlatform& platform, const StoredSnapshot& stored);

// The registry's lock for as long as it lives. The waiting form creates the registry;
// the bounded one never does and gives up on a holder after the bound.
class RegistryLock {
 public:
  explicit RegistryLock(OwnerPlatform& platform);
  RegistryLock(OwnerPlatform& platform, double limitSeconds);
  ~RegistryLock();
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
  bool held() const { return access_ == RegistryAccess::locked; }
  // Whether its entries can be read, locked or not.
  bool reachable() const { return access_ != RegistryAccess::absent; }

 private:
  OwnerPlatform& platform_;
  RegistryAccess access_;
};

// The active snapshots registered under other paths than `ownPath`, those with a
// running owner first; entries whose snapshot no longer asks for anything are dropped
// on the way. The registry must be locked.
std::vector<StoredSnapshot> otherSessions(OwnerPlatform& platform, const std::string& ownPath);

// Whether a session under another path than `ownPath` has a running owner: then the
// Dock is that session's to put back. False when the lock is not held.
bool anotherSessionRuns(OwnerPlatform& platform, const RegistryLock& lock, const std::string& ownPath);

// Passes what a session that ends without putting the Dock back applied on to every
// other session with a running owner, into its snapshot, so that whichever of them
// ends last puts it back. The registry must be locked.
void handOverApplied(OwnerPlatform& platform, const std::string& ownPath, const AppliedRecord& applied);

// One session's recovery, in the agent's order: the Dock keys it changed back (unless
// `restoreDock` is false, when another session still hides the Dock and takes them
// over), the owner's marker cleared, the Dock restarted (only when restored), the
// snapshot removed.
void recoverSession(OwnerPlatform& platform, const std::string& snapshotPath, const std::string& ownerDomain,
                    const PlistDictionary& settings, const AppliedRecord& applied, bool restoreDock);
