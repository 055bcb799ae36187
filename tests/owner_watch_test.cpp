// The owner watch's own wait against real files and processes, where an end-to-end run
// cannot steer the system into it.

#include "platform/owner_watch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A scratch folder holding a snapshot file, and an owner that lives `seconds`. A change
// that goes unseen ends a wait with the owner's exit rather than hanging it.
struct Scene {
  explicit Scene(unsigned seconds) : folder(std::filesystem::temp_directory_path() / "owner-watch-XXXXXX") {
    if (::mkdtemp(folder.data()) == nullptr || (owner = ::fork()) < 0) throw std::runtime_error("no scene");
    if (owner == 0) ::_exit(static_cast<int>(::sleep(seconds)));
    write(snapshot = folder + "/snapshot.plist", "first");
  }
  ~Scene() {
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    std::filesystem::remove_all(folder);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;
  std::string folder, snapshot;
  pid_t owner = 0;
};

TEST(OwnerWatch, SeesEachWayOfRewritingTheSnapshot) {
  using Step = std::pair<std::function<void(const std::string& path)>, Wake>;
  const auto inPlace = [](const std::string& path) { write(path, "rewritten in place"); };
  const auto replace = [](const std::string& path) {
    write(path + ".tmp", "replaced");
    std::filesystem::rename(path + ".tmp", path);
  };
  const auto nothing = [](const std::string&) {};
  // Each row: how long the owner lives (it is never reaped before the scene ends), then
  // each step's change to the snapshot and how the wait after it must end. The watch is
  // taken before the first. What the waits make of each sequence of events is the
  // replayed tests'; here, that the system reports them.
  const std::tuple<const char*, unsigned, std::vector<Step>> rows[] = {
      {"rewritten in place before the first wait", 3, {{inPlace, Wake::snapshotChanged}}},
      {"replaced, then rewritten in place", 3, {{replace, Wake::snapshotChanged}, {inPlace, Wake::snapshotChanged}}},
      {"an owner left a zombie during the wait", 1, {{nothing, Wake::ownerExited}}},
  };
  for (const auto& [what, lifetime, steps] : rows) {
    const Scene scene(lifetime);
    OwnerWatch watch(scene.owner, scene.snapshot);
    for (const auto& [change, wake] : steps) {
      change(scene.snapshot);
      EXPECT_EQ(watch.wait(0.5, std::numeric_limits<double>::infinity()), wake) << what;
    }
  }
}

// A full inotify queue drops events, the snapshot's own among them: the wait ends as a
// change all the same, so that the snapshot is read again. Elsewhere the file's own
// watch sees the rewrite.
TEST(OwnerWatch, AnOverflowedEventQueueCountsAsAChange) {
  long queueLength = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLength;
  if (queueLength <= 0 || queueLength > (1 << 20)) GTEST_SKIP() << "no inotify queue of a usable length";
  const Scene scene(3);
  OwnerWatch watch(scene.owner, scene.snapshot);
  // Closes after writing, alternating between two names so that none coalesce: the
  // queue overflows with events about other files only.
  for (long i = 0; i <= queueLength; ++i) std::ofstream(scene.folder + (i % 2 != 0 ? "/a" : "/b"));
  write(scene.snapshot, "rewritten in place");
  EXPECT_EQ(watch.wait(0.5, std::numeric_limits<double>::infinity()), Wake::snapshotChanged);
}

}  // namespace
