#pragma once

#include "platform/platform.h"
#include "platform/unique_fd.h"

// The operating-system half of the platform, shared by every backend: files,
// processes and time through POSIX. Backends add property-list parsing and the
// preferences store.
class PosixPlatform : public Platform {
 public:
  std::optional<std::string> readFile(const std::string& path) override;
  ProcessState probeProcess(int pid) override;
  void watchForExit(int pid) override;
  bool sleepFor(double seconds) override;
  void startOwnSession() override;
  bool launch(const std::string& executable, const std::vector<std::string>& arguments) override;
  bool removeFile(const std::string& path) override;
  std::string currentDirectory() override;

 private:
  // A pidfd on Linux, a kqueue on Apple systems; invalid without a handle.
  UniqueFd exitWatch_;
};

// Files larger than this are not snapshots (a real one is a few hundred bytes) and
// are not read into memory.
inline constexpr std::size_t maxReadFileSize = 16 * 1024 * 1024;
