#pragma once

#include <limits>
#include <string>

#include "platform/platform.h"
#include "platform/unique_fd.h"

// The wait of the owner watch: wakes when the owner exits or its snapshot changes, through
// what the system offers (a pidfd and inotify on Linux, one kqueue on Apple systems).
// Whatever cannot be watched, or no longer can be, is covered by the waits' time limit.
class OwnerWatch {
 public:
  OwnerWatch() = default;
  // `path` is absolute.
  OwnerWatch(int pid, const std::string& path);

  Wake wait(double fallbackSeconds, double limitSeconds);

 private:
  enum class Event { none, changed, exited, timedOut };

  // Takes the watch on the snapshot's folder afresh; answers whether it was had.
  bool watchFolder();
  bool watchingFolder() const;
  bool watchingExit() const;
  // Waits up to `seconds` (for ever when negative) and takes in what arrived.
  Event next(double seconds);
  // Waits `seconds` for nothing but the owner's exit, where that can be told apart;
  // answers whether it came.
  bool awaitExit(double seconds);

  std::string path_;
  std::string folder_;
  std::string name_;
  // When the last wait that ended with a change did so.
  double lastChange_ = -std::numeric_limits<double>::infinity();
#if defined(__APPLE__)
  // Holds the owner's exit and the folder's and the file's vnode events.
  UniqueFd queue_;
  bool exitWatched_ = false;
  UniqueFd folderFd_;
  UniqueFd fileFd_;
#else
  UniqueFd exit_;     // a pidfd
  UniqueFd changes_;  // inotify on the snapshot's folder
#endif
};
