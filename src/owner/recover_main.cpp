// dock-restore-recover [--dry-run]: recovers every stale session of the user's, at login
// or by hand. Silent unless asked for a dry run or for help; the exit status is its
// report.

#include <cstdio>
#include <span>
#include <string_view>

#include "owner/stale_sessions.h"
#include "platform/owner_platform.h"

namespace {

constexpr int exitIncomplete = 1;
constexpr int exitUsage = 64;     // EX_USAGE
constexpr int exitSoftware = 70;  // EX_SOFTWARE: out of memory, or the like

}  // namespace

int main(int argc, char** argv) {
  const std::span<char*> arguments(argv, static_cast<std::size_t>(argc));
  bool dryRun = false;
  for (const std::string_view argument : arguments.subspan(arguments.empty() ? 0 : 1)) {
    if (argument == "--help") {
      std::fputs(
          "usage: dock-restore-recover [--dry-run]\n"
          "Puts the Dock back for every session whose application and agent are gone.\n"
          "--dry-run lists what a run would do and changes nothing.\n",
          stdout);
      return 0;
    }
    if (argument != "--dry-run") return exitUsage;
    dryRun = true;
  }
  try {
    const auto platform = makeOwnerPlatform();
    // At login nobody reads what it or a library it uses might say.
    if (!dryRun) platform->detachFromTerminal();
    const auto recovery = recoverStaleSessions(*platform, dryRun);
    if (dryRun) {
      for (const auto& line : recovery.lines) std::puts(line.c_str());
    }
    return recovery.complete ? 0 : exitIncomplete;
  } catch (...) {
    return exitSoftware;
  }
}
