#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "platform/watch_events.h"

// The wait of the owner watch: wakes when the owner exits or its snapshot changes, through
// what the system offers (a pidfd and inotify on Linux, one kqueue on Apple systems),
// translated into WatchEvents for awaitChange. Whatever cannot be watched, or no longer
// can be, is covered by the waits' time limit.
class OwnerWatch final : private WatchSource {
 public:
  OwnerWatch() = default;
  // `path` is absolute. Everything is watched from here on, before the snapshot's first read.
  OwnerWatch(int pid, const std::string& path);

  Wake wait(double fallbackSeconds, double limitSeconds);

 private:
  double now() override;
  std::optional<std::vector<WatchEvent>> next(double seconds) override;
  bool awaitExit(double seconds) override;
  bool trusted() override;
  bool watchingFolder() override;
  bool watchFolder() override;
  void unwatchFolder() override;
  FileStamp watchFile() override;
  FileStamp stamp() override;
  bool watchingExit() const;

  std::string path_;
  std::string folder_;
  std::string name_;
  WatchMemory memory_;
#if defined(__APPLE__)
  // Holds the owner's exit and the folder's and the file's vnode events.
  UniqueFd queue_;
  bool exitWatched_ = false;
  // The owner was gone before its exit could be watched.
  bool goneAtStart_ = false;
  UniqueFd folderFd_;
  UniqueFd fileFd_;
#else
  UniqueFd exit_;     // a pidfd
  UniqueFd changes_;  // inotify on the snapshot's folder
#endif
};
