// The owner watch's own wait, where an end-to-end run cannot steer the system into it.

#include "platform/owner_watch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

// A full inotify queue drops events, the snapshot's own among them: the wait ends as a
// change all the same, so that the snapshot is read again.
TEST(OwnerWatch, AnOverflowedEventQueueCountsAsAChange) {
  long queueLength = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLength;
  if (queueLength <= 0 || queueLength > (1 << 20)) GTEST_SKIP() << "no inotify queue of a usable length";
  std::string folder = (std::filesystem::temp_directory_path() / "owner-watch-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  OwnerWatch watch(::getpid(), folder + "/snapshot.plist");
  // Closes after writing, alternating between two names so that none coalesce: the
  // queue overflows with events about other files only.
  for (long i = 0; i <= queueLength; ++i) std::ofstream(folder + (i % 2 != 0 ? "/a" : "/b"));
  EXPECT_EQ(watch.wait(0.5, 2.0), Wake::snapshotChanged);
  std::filesystem::remove_all(folder);
}

}  // namespace
