#pragma once

#include "platform/owner_platform.h"
#include "platform/owner_watch.h"
#include "platform/platform.h"

// The operating-system half of the platform, shared by every backend: files,
// processes and time through POSIX. Backends add property-list parsing and the
// preferences store.
class PosixPlatform : public OwnerPlatform {
 public:
  std::optional<std::string> readFile(const std::string& path) override;
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
  ProcessState childState(int pid) override;
  void reapLaunched() override;
  std::optional<std::string> executablePath(int pid) override;
  int processId() override;
  bool randomBytes(std::span<std::uint8_t> bytes) override;

 private:
  OwnerWatch watch_;
  // Children of `launch` not yet reaped: a long-lived owner must not collect zombies.
  std::vector<int> launched_;
};

// Files larger than this are not snapshots (a real one is a few hundred bytes) and
// are not read into memory.
inline constexpr std::size_t maxReadFileSize = std::size_t{16} << 20;
