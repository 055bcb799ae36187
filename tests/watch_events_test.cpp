// The owner watch's wait, replayed: the events a kqueue and an inotify watch report for
// the same writes, fed to awaitChange on a clock of the test's own.

#include "platform/watch_events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <sys/inotify.h>

namespace {

constexpr double forever = std::numeric_limits<double>::infinity();
constexpr WatchEvent written{Watched::file, Happened::written}, truncated{Watched::file, Happened::attributes},
    deleted{Watched::file, Happened::deleted}, folder{Watched::folder, Happened::written};
FileStamp file(std::uint64_t inode, std::int64_t size = 100) { return {true, 1, inode, size, 0}; }

// One moment, as each system reports it (inotify's on the folder, the snapshot named
// "s"), and what the path names from then on. A kqueue reports a file's own events only
// while that very file is watched.
struct Arrival {
  double ms;
  std::vector<WatchEvent> kqueue;
  std::vector<std::pair<std::uint32_t, const char*>> inotify;
  FileStamp path = file(1);
  bool exit = false;
};

class Replay final : public WatchSource {
 public:
  Replay(std::vector<Arrival> script, bool kqueue) : script_(std::move(script)), kqueue_(kqueue) {}
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
    for (; !script_.empty() && script_.front().ms / 1000 <= clock_; script_.erase(script_.begin())) {
      const Arrival& arrival = script_.front();
      if (arrival.exit) events.push_back({Watched::owner, Happened::exited});
      for (const auto event : arrival.kqueue) {
        if (kqueue_ && (event.which != Watched::file || watched_.inode == path_.inode)) events.push_back(event);
      }
      for (const auto& [mask, name] : arrival.inotify) {
        if (!kqueue_ && fromInotify(mask, name, "s")) events.push_back(*fromInotify(mask, name, "s"));
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
  FileStamp path_ = file(1), watched_;
};

TEST(WatchEvents, ReplayedSequencesEndEachWaitWhenTheyShould) {
  const Arrival exit{400, {}, {}, file(1), true}, lateExit{600, {}, {}, file(1), true};
  std::vector<Arrival> burst;  // 200 writes a millisecond apart
  for (int i = 0; i < 200; ++i) burst.push_back({i * 1.0, {written}, {{IN_CLOSE_WRITE, "s"}}, file(1, i)});
  burst.push_back(exit);
  // The script, the limit of each wait in turn (a settle re-read's, or none), and how
  // each ends. The watch is taken at 0 ms, before the first read.
  const std::tuple<const char*, std::vector<Arrival>, std::vector<double>, std::string> rows[] = {
      // Creating the temporary file shows on the folder only and changes nothing.
      {"temporary file renamed over the snapshot",
       {{5, {folder}, {{IN_CLOSE_WRITE, "s.tmp"}}}, {8, {folder, deleted}, {{IN_MOVED_TO, "s"}}, file(2)}, exit},
       {forever, forever},
       "change@8 exit@400 "},
      // A kqueue reports the truncation at once, pending as the settle re-read begins.
      {"truncated, then written in place",
       {{0, {truncated}, {}, file(1, 0)}, {3, {written}, {{IN_CLOSE_WRITE, "s"}}}, {30, {truncated}, {}, file(1, 0)}},
       {0.5},
       "change@13 "},
      {"rewritten before a settle re-read", {{0, {written}, {{IN_CLOSE_WRITE, "s"}}}, lateExit}, {0.5}, "change@10 "},
      {"a settle re-read nothing disturbs", {lateExit}, {0.5}, "timeout@500 "},
      {"rewritten between the first read and the first wait",
       {{0, {written}, {{IN_CLOSE_WRITE, "s"}}}, exit},
       {forever, forever},
       "change@0 exit@400 "},
      {"deleted, then recreated and rewritten in place",
       {{0, {deleted, folder}, {{IN_DELETE, "s"}}, {}},
        {10, {folder}, {{IN_CLOSE_WRITE, "s"}}, file(2)},
        {100, {written}, {{IN_CLOSE_WRITE, "s"}}, file(2, 120)},
        exit},
       {forever, forever, forever, forever},
       "change@0 change@50 change@100 exit@400 "},
      // A kqueue sees the new file's own writes only once it watches that file.
      {"replaced, then rewritten in place, during a settle re-read",
       {{2, {folder, deleted}, {{IN_MOVED_TO, "s"}}, file(2)}, {7, {written}, {{IN_CLOSE_WRITE, "s"}}, file(2, 1)}},
       {0.5},
       "change@17 "},
      {"replaced, then rewritten in place",
       {{0, {folder, deleted}, {{IN_MOVED_TO, "s"}}, file(2)},
        {100, {written}, {{IN_CLOSE_WRITE, "s"}}, file(2, 1)},
        exit},
       {forever, forever, forever},
       "change@0 change@100 exit@400 "},
      // What either adapter reports for an owner that is a zombie at the start (a
      // kqueue's exit watch then fails with ESRCH).
      {"the owner gone before the first wait", {{0, {}, {}, file(1), true}}, {forever}, "exit@0 "},
      {"the owner gone before a settle re-read", {{0, {}, {}, file(1), true}}, {0.5}, "exit@0 "},
      // Read at most once every burstGap; the exit still ends the wait.
      {"a burst of 200 writes", burst, std::vector<double>(6, forever),
       "change@0 change@50 change@100 change@150 "
       "change@200 exit@400 "},
  };
  for (const bool kqueue : {true, false}) {
    for (const auto& [what, script, limits, ends] : rows) {
      Replay replay(script, kqueue);
      WatchMemory memory;
      startWatching(replay, memory);
      std::string seen;
      for (const double limit : limits) {
        const Wake wake = awaitChange(replay, memory, 0.5, limit);
        seen += wake == Wake::ownerExited ? "exit@" : wake == Wake::timedOut ? "timeout@" : "change@";
        seen += std::to_string(std::lround(replay.now() * 1000)) + " ";
      }
      EXPECT_EQ(seen, ends) << what << (kqueue ? " (kqueue)" : " (inotify)");
    }
  }
}

}  // namespace
