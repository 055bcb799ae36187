#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "values/plist_value.h"

// What a bounded lock of the registry of sessions found.
enum class RegistryAccess { locked, busy, absent };

// What the owner library needs from the operating system beyond what the agent does:
// reading preferences, writing the snapshot, and starting and watching the agent. The
// agent uses only its registry of sessions and its process identities beyond Platform.
class OwnerPlatform : public Platform {
 public:
  // The value `key` has in `domain` for the current user, as stored now (the domain is
  // refreshed from permanent storage first); nothing when the key is not set.
  virtual std::optional<PlistValue> readPreference(const std::string& domain, const std::string& key) = 0;

  // `value` as the bytes of a property list, XML where that holds it exactly; nothing
  // when it cannot be expressed.
  virtual std::optional<std::string> serializePropertyList(const PlistValue& value) = 0;

  // Replaces the file at `path` with `bytes`, readable and writable by the user alone,
  // so that a reader sees the old file or the whole new one, and the new one is on
  // stable storage, past the drive's cache, once this returns. Answers 0 or an errno
  // value.
  virtual int writeFileAtomically(const std::string& path, const std::string& bytes) = 0;

  // Whether `path` names a regular file the user may execute.
  virtual bool isExecutableFile(const std::string& path) = 0;

  // Starts `executable` with `arguments` in a session of its own, its standard streams
  // on /dev/null, none of the caller's other descriptors and default signal handling.
  // The process is not the caller's child: a short-lived intermediate, reaped before
  // this returns, starts it, so that nothing the caller does with SIGCHLD or
  // waitpid(-1, ...) leaves a zombie or steals an exit. Answers its PID, or the negated
  // errno value when it could not start.
  virtual int startDetached(const std::string& executable, const std::vector<std::string>& arguments) = 0;

  // When process `pid` started, in the system's own units (comparable only with another
  // answer of this call); nothing when no such process runs (an exited one that is not
  // reaped yet included) or the system does not tell.
  virtual std::optional<std::int64_t> processStartTime(int pid) = 0;

  // The executable file process `pid` runs, when the system tells.
  virtual std::optional<std::string> executablePath(int pid) = 0;

  // False when `domain`'s stored settings exist but cannot be read (no permission, not
  // a property list): then what a key holds is unknown, not unset.
  virtual bool domainReadable(const std::string& domain) = 0;

  // The per-user registry of active sessions: the snapshot paths of every owner's
  // sessions, whatever application holds them. Lock it before the other calls; the
  // lock waits for other processes' holders and ends with unlockSessionRegistry. False
  // when the registry cannot be reached (no home folder, a folder another user could
  // write). A registry this lock created and that holds no session at the unlock is
  // removed again, so that a refused begin leaves no file or folder behind.
  virtual bool lockSessionRegistry() = 0;
  // The same, for those who must not wait long on a hung or stopped holder (the agent,
  // the recovery command): never creates the registry's folders, and waits at most
  // `limitSeconds`. When busy, the other calls still work until the unlock, unlocked.
  virtual RegistryAccess lockExistingSessionRegistry(double limitSeconds) = 0;
  virtual void unlockSessionRegistry() = 0;
  virtual std::vector<std::string> registeredSnapshots() = 0;
  // Adds `path`; on stable storage once this answers true.
  virtual bool registerSnapshot(const std::string& path) = 0;
  virtual void unregisterSnapshot(const std::string& path) = 0;

  virtual int processId() = 0;

  // Fills `bytes` from the system's random source; false when it cannot.
  virtual bool randomBytes(std::span<std::uint8_t> bytes) = 0;
};

// The owner side of the platform of the build.
std::unique_ptr<OwnerPlatform> makeOwnerPlatform();
