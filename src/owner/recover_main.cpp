// dock-restore-recover [--dry-run]: recovers every stale session of the user's, at login
// or by hand. Silent unless asked for a dry run or for help; the exit status is its
// report.

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "owner/stale_sessions.h"
#include "platform/owner_platform.h"

namespace {

constexpr int exitUsage = 64;  // EX_USAGE

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
  return runStaleRecovery(makeOwnerPlatform, dryRun, [](const std::string& line) { std::puts(line.c_str()); });
}
