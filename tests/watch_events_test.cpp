// The owner watch's wait, replayed: the event sequences a kqueue and an inotify watch
// report for the same writes, fed to awaitChange on a clock of its own.

#include "platform/watch_events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <sys/inotify.h>

namespace {

constexpr double forever = std::numeric_limits<double>::infinity();
constexpr WatchEvent fileWritten{Watched::file, Happened::written}, fileAttributes{Watched::file, Happened::attributes},
    fileDeleted{Watched::file, Happened::deleted}, folderWritten{Watched::folder, Happened::written};

FileStamp file(std::uint64_t inode, std::int64_t size = 100) { return {true, 1, inode, size, 0}; }

// What happens at one moment, as each system reports it. Events a kqueue reports on a
// file's own watch arrive only while that very file is watched.
struct Arrival {
  double ms;
  std::vector<WatchEvent> kqueue;
  std::vector<std::pair<std::uint32_t, std::string>> inotify;  // on the folder; the snapshot is "s"
  FileStamp path;                                              // what the path names from then on
  bool exit = false;
};

class ReplayedSource final : public WatchSource {
 public:
  ReplayedSource(std::vector<Arrival> script, bool kqueue) : script_(std::move(script)), kqueue_(kqueue) {}

  double now() override { return clock_; }
  std::optional<std::vector<WatchEvent>> next(double seconds) override {
    // A wait that nothing would end fails its row, not the whole test.
    if (script_.empty() && seconds < 0) script_.push_back({9999, {}, {}, path_, true});
    const double until = seconds < 0 ? forever : clock_ + seconds;
    if (script_.empty() || script_.front().ms / 1000 > until) {
      clock_ = until;
      return std::nullopt;
    }
    // Everything due by then arrives together, as a kernel's queue coalesces it.
    clock_ = std::max(clock_, script_.front().ms / 1000);
    std::vector<WatchEvent> events;
    while (!script_.empty() && script_.front().ms / 1000 <= clock_) {
      const Arrival arrival = script_.front();
      script_.erase(script_.begin());
      if (arrival.exit) events.push_back({Watched::owner, Happened::exited});
      if (kqueue_) {
        for (const auto event : arrival.kqueue) {
          if (event.which != Watched::file || (watched_.present && watched_.inode == path_.inode)) {
            events.push_back(event);
          }
        }
      } else {
        for (const auto& [mask, name] : arrival.inotify) {
          if (const auto event = fromInotify(mask, name, "s")) events.push_back(*event);
        }
      }
      path_ = arrival.path;
    }
    return events;
  }
  bool awaitExit(double seconds) override {
    clock_ += seconds;  // as on a kqueue: the exit is taken in afterwards
    return false;
  }
  bool trusted() override { return true; }
  bool watchingFolder() override { return true; }
  bool watchFolder() override { return true; }
  void unwatchFolder() override {}
  FileStamp watchFile() override { return watched_ = path_; }
  FileStamp stamp() override { return path_; }

 private:
  std::vector<Arrival> script_;
  bool kqueue_;
  double clock_ = 0;  // seconds
  FileStamp path_ = file(1);
  FileStamp watched_;
};

struct Ended {
  Wake wake;
  double ms;
  bool operator==(const Ended&) const = default;
};

std::string describe(const std::vector<Ended>& ends) {
  std::string text;
  for (const auto& [wake, ms] : ends) {
    text += (wake == Wake::ownerExited ? "exit@"
             : wake == Wake::timedOut  ? "timeout@"
                                       : "change@") +
            std::to_string(static_cast<int>(std::lround(ms))) + " ";
  }
  return text;
}

TEST(WatchEvents, ReplayedSequencesEndEachWaitWhenTheyShould) {
  const auto changed = [](double ms) { return Ended{Wake::snapshotChanged, ms}; };
  const auto exited = [](double ms) { return Ended{Wake::ownerExited, ms}; };
  const Arrival exitLater{400, {}, {}, file(2), true};
  // Each row: the script, the waits in turn (a limit for the settle re-read, or none),
  // and how each must end. The watch is taken at 0 ms, before the first read.
  struct Row {
    const char* what;
    std::vector<Arrival> script;
    std::vector<double> limits;
    std::vector<Ended> ends;
  };
  const Row rows[] = {
      // The temporary file's creation shows on the folder only: no change to the
      // snapshot, so the rename is read at once, not after a burst window.
      {"temporary file, then renamed over the snapshot",
       {{5, {folderWritten}, {{IN_CLOSE_WRITE, "s.tmp"}}, file(1)},
        {8, {folderWritten, fileDeleted}, {{IN_MOVED_FROM, "s.tmp"}, {IN_MOVED_TO, "s"}}, file(2)},
        exitLater},
       {forever, forever},
       {changed(8), exited(400)}},
      // A kqueue reports the truncation at once, pending when the settle re-read begins;
      // that wait ends once the write has landed and writes pause.
      {"truncated, then written in place",
       {{0, {fileAttributes}, {}, file(1, 0)},
        {3, {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(1)},
        {30, {fileAttributes}, {}, file(1, 0)},
        {32, {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(1)}},
       {0.5},
       {changed(13)}},
      {"rewritten in place before a settle re-read",
       {{0, {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(1, 120)}, {600, {}, {}, file(1), true}},
       {0.5},
       {changed(10)}},
      {"rewritten in place between the first read and the first wait",
       {{0, {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(1, 120)}, exitLater},
       {forever, forever},
       {changed(0), exited(400)}},
      // The new file is watched from its creation on: its rewrite in place is seen.
      {"deleted, then recreated and rewritten in place",
       {{0, {fileDeleted, folderWritten}, {{IN_DELETE, "s"}}, {}},
        {10, {folderWritten}, {{IN_CLOSE_WRITE, "s"}}, file(2)},
        {100, {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(2, 120)},
        exitLater},
       {forever, forever, forever, forever},
       {changed(0), changed(50), changed(100), exited(400)}},
      {"replaced, then rewritten in place",
       {{0, {folderWritten, fileDeleted}, {{IN_MOVED_TO, "s"}}, file(2)},
        {100, {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(2, 120)},
        exitLater},
       {forever, forever, forever},
       {changed(0), changed(100), exited(400)}},
      // What the system's watch reports for an owner that is a zombie at the start, or
      // whose exit cannot be watched (ESRCH) because it is one; the settle wait too.
      {"the owner gone before the first wait", {{0, {}, {}, file(1), true}}, {forever}, {exited(0)}},
      {"the owner gone before a settle re-read", {{0, {}, {}, file(1), true}}, {0.5}, {exited(0)}},
      {"a settle re-read that nothing disturbs", {{600, {}, {}, file(1), true}}, {0.5}, {{Wake::timedOut, 500}}},
  };
  for (const bool kqueue : {true, false}) {
    for (const auto& [what, script, limits, ends] : rows) {
      ReplayedSource source(script, kqueue);
      WatchMemory memory;
      startWatching(source, memory);
      std::vector<Ended> seen;
      for (const double limit : limits) {
        const Wake wake = awaitChange(source, memory, 0.5, limit);
        seen.push_back({wake, source.now() * 1000});
      }
      EXPECT_EQ(describe(seen), describe(ends)) << what << (kqueue ? " (kqueue)" : " (inotify)");
    }
  }
}

// 200 writes a millisecond apart, then the owner's exit: read at most once every
// burstGap, and the exit still ends the wait.
TEST(WatchEvents, ABurstOfWritesIsReadAFewTimesOnly) {
  for (const bool kqueue : {true, false}) {
    std::vector<Arrival> script;
    for (int i = 0; i < 200; ++i) {
      script.push_back({static_cast<double>(i), {fileWritten}, {{IN_CLOSE_WRITE, "s"}}, file(1, 100 + i)});
    }
    script.push_back({300, {}, {}, file(1, 299), true});
    ReplayedSource source(script, kqueue);
    WatchMemory memory;
    startWatching(source, memory);
    std::vector<Ended> seen;
    while (seen.empty() || seen.back().wake != Wake::ownerExited) {
      seen.push_back({awaitChange(source, memory, 0.5, forever), source.now() * 1000});
    }
    EXPECT_EQ(describe(seen), "change@0 change@50 change@100 change@150 change@200 exit@300 ") << kqueue;
  }
}

}  // namespace
