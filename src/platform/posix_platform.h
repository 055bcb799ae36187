#pragma once

#include "platform/owner_platform.h"
#include "platform/owner_watch.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

// The operating-system half of the platform, shared by every backend: files,
// processes and time through POSIX. Backends add property-list parsing and the
// preferences store.
class PosixPlatform : public OwnerPlatform {
 public:
  std::optional<std::string> readFile(const std::string& path) override;
  std::string whyUnreadable(const std::string& path) override;
  ProcessState probeProcess(int pid) override;
  void startWatch(int pid, const std::string& path) override;
  Wake waitForChange(double fallbackSeconds, double limitSeconds) override;
  void detachFromTerminal() override;
  bool launch(const std::string& executable, const std::vector<std::string>& arguments) override;
  bool removeFile(const std::string& path) override;
  std::string currentDirectory() override;

  // The owner library's side.
  int writeFileAtomically(const std::string& path, const std::string& bytes) override;
  bool isExecutableFile(const std::string& path) override;
  int startDetached(const std::string& executable, const std::vector<std::string>& arguments) override;
  std::optional<std::int64_t> processStartTime(int pid) override;
  std::optional<std::string> executablePath(int pid) override;
  bool domainReadable(const std::string& domain) override;
  bool lockSessionRegistry() override;
  RegistryAccess lockExistingSessionRegistry(double limitSeconds) override;
  void unlockSessionRegistry() override;
  std::vector<std::string> registeredSnapshots() override;
  bool registerSnapshot(const std::string& path) override;
  void unregisterSnapshot(const std::string& path) override;
  int processId() override;
  bool randomBytes(std::span<std::uint8_t> bytes) override;

 protected:
  // Where the backend's preferences keep a user's domains, which domainReadable checks;
  // empty when there is no telling.
  virtual std::string preferencesDirectory() = 0;

  // Flushes `domain`'s file in preferencesDirectory() and that folder to stable storage,
  // for a backend whose store writes without flushing. True where there is nothing the
  // caller may open to flush; false when a flush fails.
  bool flushStoredDomain(const std::string& domain);

 private:
  RegistryAccess lockRegistry(bool create, std::optional<double> limitSeconds);

  OwnerWatch watch_;
  std::string registry_;  // the registry's folder while it is locked, or busy
  UniqueFd registryLock_;
  std::vector<std::string> registryCreated_;  // folders and lock file the lock created
};

// Files larger than this are not snapshots (a real one is a few hundred bytes) and
// are not read into memory.
inline constexpr std::size_t maxReadFileSize = std::size_t{16} << 20;
