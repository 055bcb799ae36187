// One pass of the owner watch (read and parse the snapshot, compare it, probe the
// owner) through the real system platform, beside libplist reading the same file.
//
// Usage: watch_pass_bench [--benchmark_...] OWNER_PID SESSION_ID SNAPSHOT...
// Each snapshot must belong to OWNER_PID and SESSION_ID, and OWNER_PID must be alive,
// so that every pass goes all the way through, as it does while the agent waits.

#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include "agent/arguments.h"
#include "platform/platform.h"

namespace {

// The pass of watchOwner's loop, without its pause.
void watchPass(benchmark::State& state, Platform& platform, const AgentArguments& arguments) {
  for (auto _ : state) {
    const bool matches = snapshotMatches(readSnapshot(platform, arguments.snapshotPath), arguments);
    const ProcessState owner = platform.probeProcess(arguments.ownerPID);
    benchmark::DoNotOptimize(matches);
    benchmark::DoNotOptimize(owner);
  }
}

void libplistReadParse(benchmark::State& state, Platform& platform, const std::string& path) {
  for (auto _ : state) {
    const auto bytes = platform.readFile(path);
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    benchmark::DoNotOptimize(root);
    plist_free(root);
  }
}

// Refuses a snapshot that would make the measured pass stop short of the probe.
bool passGoesThrough(Platform& platform, const AgentArguments& arguments) {
  return snapshotMatches(readSnapshot(platform, arguments.snapshotPath), arguments) &&
         platform.probeProcess(arguments.ownerPID) == ProcessState::alive;
}

bool libplistReads(Platform& platform, const std::string& path) {
  const auto bytes = platform.readFile(path);
  if (!bytes) return false;
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
  const bool read = root != nullptr;
  plist_free(root);
  return read;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s [--benchmark_...] OWNER_PID SESSION_ID SNAPSHOT...\n", argv[0]);
    return 64;
  }
  const auto platform = makeSystemPlatform();
  std::vector<AgentArguments> runs;
  for (int i = 3; i < argc; ++i) {
    const char* agentArguments[] = {argv[i], argv[1], argv[2], "com.example.owner"};
    auto arguments = parseArguments(agentArguments, *platform);
    if (!arguments || !passGoesThrough(*platform, *arguments) ||
        !libplistReads(*platform, arguments->snapshotPath)) {
      std::fprintf(stderr, "%s: not a snapshot of a live owner %s, session %s\n", argv[i], argv[1],
                   argv[2]);
      return 1;
    }
    runs.push_back(std::move(*arguments));
  }
  // Registered only now: the benchmarks keep references into `runs`, which no longer grows.
  Platform& system = *platform;
  for (const auto& arguments : runs) {
    const std::string name = arguments.snapshotPath.substr(arguments.snapshotPath.rfind('/') + 1);
    benchmark::RegisterBenchmark(("watch_pass/" + name).c_str(), [&](benchmark::State& state) {
      watchPass(state, system, arguments);
    });
    benchmark::RegisterBenchmark(("libplist_read_parse/" + name).c_str(), [&](benchmark::State& state) {
      libplistReadParse(state, system, arguments.snapshotPath);
    });
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
