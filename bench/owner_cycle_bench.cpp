// What dock_restore_begin and dock_restore_end cost the calling thread, beside writing
// a snapshot of the same size alone; and what a run of dock-restore-recover costs when
// nothing is stale (one live session registered), as at every login. Runs in a scratch
// HOME (preferences, registry and snapshot live there); off macOS only, since a begin
// there would hide the real Dock.
//
// Usage: owner_cycle_bench AGENT [CYCLES [RECOVER]]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dock_restore.h"
#include "platform/regular_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void report(const char* what, std::vector<double> samples) {
  std::ranges::sort(samples);
  std::printf("| %s | %.2f ms | %.2f ms |\n", what, samples[samples.size() / 2], samples.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: owner_cycle_bench AGENT [CYCLES [RECOVER]]\n", stderr);
    return 64;
  }
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 200;
  std::string home = "/tmp/dock-owner-bench-XXXXXX";
  if (::mkdtemp(home.data()) == nullptr) return 1;
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  const std::string snapshot = home + "/snapshot.plist";

  dock_restore_owner* owner = dock_restore_open(snapshot.c_str(), "com.example.bench", argv[1]);
  if (owner == nullptr) return 1;
  std::vector<double> begins, ends, writes;
  std::string bytes;
  for (int i = 0; i < cycles; ++i) {
    dock_restore_set_bool(owner, "autohide", 1);
    dock_restore_set_number(owner, "autohide-delay", 1000.0);
    auto start = Clock::now();
    if (dock_restore_begin(owner) != DOCK_RESTORE_OK) {
      std::fprintf(stderr, "begin: %s\n", dock_restore_message(owner));
      return 1;
    }
    begins.push_back(millisecondsSince(start));
    if (bytes.empty() && readRegularFile(snapshot, 1 << 20, bytes) != FileRead::read) return 1;
    start = Clock::now();
    if (dock_restore_end(owner) != DOCK_RESTORE_OK) {
      std::fprintf(stderr, "end: %s\n", dock_restore_message(owner));
      return 1;
    }
    ends.push_back(millisecondsSince(start));
    const std::string alone = home + "/alone.plist";
    start = Clock::now();
    if (replaceFile(home, alone, bytes) != 0) return 1;
    writes.push_back(millisecondsSince(start));
  }
  // Nothing stale: this process's own session is live.
  std::vector<double> recoveries;
  if (argc > 3 && dock_restore_begin(owner) == DOCK_RESTORE_OK) {
    char* recoverArguments[] = {argv[3], nullptr};
    for (int i = 0; i < cycles; ++i) {
      const auto start = Clock::now();
      pid_t child = 0;
      int status = 0;
      if (::posix_spawn(&child, argv[3], nullptr, nullptr, recoverArguments, environ) != 0 ||
          ::waitpid(child, &status, 0) != child || status != 0) {
        return 1;
      }
      recoveries.push_back(millisecondsSince(start));
    }
    dock_restore_end(owner);
  }
  dock_restore_close(owner);

  double load[1] = {0};
  ::getloadavg(load, 1);
  std::printf("%d cycles, load average %.1f at the end\n\n", cycles, load[0]);
  std::printf("| call | median | worst |\n|---|---|---|\n");
  report("dock_restore_begin", begins);
  report("dock_restore_end", ends);
  report("the snapshot written alone (temporary file, fsync, rename, folder fsync)", writes);
  if (!recoveries.empty()) report("dock-restore-recover, nothing stale (the whole process)", recoveries);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return 0;
}
