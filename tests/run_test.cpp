#include "agent/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "agent/arguments.h"
#include "fake_platform.h"
#include "plist_text.h"

namespace {

using Calls = std::vector<std::string>;

const std::string snapshotPath = "/work/snap.plist";

// A snapshot file; by default its settings restore autohide and name a key that is none
// of the Dock's six.
std::string snapshot(bool active, const std::string& pid, const std::string& session,
                     const std::string& settings = "<key>autohide</key><dict><key>type</key><string>bool</string>"
                                                   "<key>value</key><false/></dict><key>show-recents</key>"
                                                   "<dict><key>type</key><string>bool</string></dict>") {
  return snapshotPlist(std::string("<key>active</key>") + (active ? "<true/>" : "<false/>") +
                       "<key>ownerPID</key><integer>" + pid + "</integer><key>sessionID</key><string>" +
                       session + "</string><key>snapshot</key><dict>" + settings + "</dict>");
}

// The agent started by owner `pid` of `session` ("snap.plist" in /work), the snapshot
// holding `file`: what it did to the world, in order (its writes, the Dock's restart,
// the snapshot's removal), after leaving the terminal first. How it watched is the
// watch's business. Synchronizing and relaunching fail: the agent must carry on regardless.
Calls run(FakePlatform& platform, const std::string& file, const char* pid = "812", const char* session = "abc") {
  platform.files[snapshotPath] = file;
  platform.stepsSucceed = false;
  const std::vector<const char*> arguments = {"snap.plist", pid, session, "com.example.owner"};
  EXPECT_EQ(runAgent(arguments, platform), 0);
  EXPECT_EQ(platform.calls.at(0), "detach");
  Calls effects;
  std::ranges::copy_if(platform.calls, std::back_inserter(effects), [](const std::string& call) {
    return !call.starts_with("detach") && !call.starts_with("watch ") && !call.starts_with("probe ") &&
           !call.starts_with("wait ");
  });
  return effects;
}

const Calls recovery = {
    "set com.apple.dock orientation = (deleted)",         "set com.apple.dock autohide = bool false",
    "set com.apple.dock autohide-delay = (deleted)",      "set com.apple.dock autohide-time-modifier = (deleted)",
    "set com.apple.dock no-bouncing = (deleted)",         "set com.apple.dock launchanim = (deleted)",
    "sync com.apple.dock",
    "set com.example.owner velko.systemDockVisibilitySnapshot = (deleted)",
    "sync com.example.owner",
    "launch /usr/bin/killall [Dock]",
    "remove /work/snap.plist",
};

Calls then(Calls first, const Calls& rest) {
  first.insert(first.end(), rest.begin(), rest.end());
  return first;
}

TEST(Arguments, OwnerPidIsA32BitDecimalAndThePathIsMadeAbsoluteOnce) {
  FakePlatform platform;
  const std::pair<const char*, std::int32_t> cases[] = {
      {"812", 812}, {"-5", -5}, {"+7", 7}, {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"2147483648", 0}, {"-2147483649", 0}, {"abc", 0}, {"", 0}, {"+", 0}, {" 7", 0}, {"7 ", 0}};
  for (const auto& [text, pid] : cases) {
    const auto arguments = parseArguments(std::vector<const char*>{"snap.plist", text, "abc", "d", "extra"}, platform);
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->ownerPID, pid) << text;
    EXPECT_EQ(arguments->snapshotPath, "/work/snap.plist");
  }
  EXPECT_EQ(parseArguments(std::vector<const char*>{"/tmp/s.plist", "1", "", ""}, platform)->snapshotPath,
            "/tmp/s.plist");
  // Too few arguments end the run before the platform is built.
  static bool built = false;
  const auto build = [] {
    built = true;
    return std::unique_ptr<OwnerPlatform>(std::make_unique<FakePlatform>());
  };
  EXPECT_EQ(runAgent(std::vector<const char*>{"snap.plist", "812", "abc"}, build), exitUsage);
  EXPECT_FALSE(built);
}

TEST(Run, RecoversOnlyFromTheOwnersActiveSnapshot) {
  constexpr auto alive = ProcessState::alive, gone = ProcessState::gone;
  // The snapshot, the owner PID and session the agent is given, and what a probe of
  // that PID answers (no exit is ever seen: an owner alive is waited for until the fake
  // gives up).
  const std::tuple<std::string, const char*, const char*, ProcessState, Calls> cases[] = {
      {snapshot(true, "813", "abc"), "812", "abc", gone, {}},
      {snapshot(true, "812", "ABC"), "812", "abc", gone, {}},
      // Sessions compare under canonical equivalence: a precomposed é is e + U+0301.
      {snapshot(true, "812", "caf\xC3\xA9"), "812", "cafe\xCC\x81", gone, recovery},
      // An owner PID that names no single process (kill would probe a process group; 0
      // and negative PIDs alike) is never waited for.
      {snapshot(true, "-5", "abc"), "-5", "abc", alive, recovery},
      {snapshot(true, "0", "abc"), "0", "abc", alive, recovery},
  };
  for (const auto& [file, pid, session, probe, calls] : cases) {
    FakePlatform platform;
    platform.probeAnswer = probe;
    platform.otherWaits = Wake::timedOut;
    EXPECT_EQ(run(platform, file, pid, session), calls) << file << pid << session;
  }
}

TEST(Run, WhatTheFileSaysAtEachPassDecides) {
  const std::string active = snapshot(true, "812", "abc");
  const std::string inactive = snapshot(false, "812", "abc");
  const std::string leftOnly = snapshot(false, "1", "other",
                                        "<key>orientation</key><dict><key>type</key><string>string</string>"
                                        "<key>value</key><string>left</string></dict>");
  const std::string deleted = "(deleted)";
  // A name, what the probe answers, the wait that sees the exit (0: none), how the other
  // waits end, the file from the third read on and from the fifth on, and what the
  // agent then does.
  const std::tuple<const char*, ProcessState, int, Wake, std::string, std::string, Calls> cases[] = {
      // A zombie owner, or a newcomer under its PID, still answers the probe: an exit
      // seen during a wait decides, once the snapshot has been read again.
      {"exit seen", ProcessState::alive, 2, Wake::snapshotChanged, active, active, recovery},
      {"exit seen, deactivated", ProcessState::alive, 2, Wake::timedOut, inactive, inactive, {}},
      // The owner finished cleanly before the third pass, seen by an event or a timed pass.
      {"deactivated", ProcessState::alive, 0, Wake::snapshotChanged, inactive, inactive, {}},
      {"deleted", ProcessState::alive, 0, Wake::timedOut, deleted, deleted, {}},
      // A file there but unreadable is read again after a moment; it ends the wait if
      // it is still unreadable then.
      {"unreadable", ProcessState::alive, 0, Wake::snapshotChanged, "<plist><dict>", "<plist>", {}},
      {"caught mid-write", ProcessState::alive, 4, Wake::snapshotChanged, "<plist><dict>", active, recovery},
      // The owner died at once; the file changed after the read that confirmed it.
      {"unreadable settings", ProcessState::gone, 0, Wake::snapshotChanged, "bplist00", "bplist00", {}},
      {"newest settings", ProcessState::gone, 0, Wake::snapshotChanged, leftOnly, leftOnly,
       then({"set com.apple.dock orientation = string \"left\"", "set com.apple.dock autohide = (deleted)"},
            Calls(recovery.begin() + 2, recovery.end()))},
  };
  for (const auto& [what, probe, exitSeenAtWait, otherWaits, third, fourth, calls] : cases) {
    FakePlatform platform;
    platform.probeAnswer = probe;
    platform.exitSeenAtWait = exitSeenAtWait;
    platform.otherWaits = otherWaits;
    platform.beforeRead = [&platform, &deleted, later = third, latest = fourth](int n) {
      if (n < 2) return;
      const std::string& file = n <= 3 ? later : latest;
      if (file == deleted) platform.files.erase(snapshotPath);
      else platform.files[snapshotPath] = file;
    };
    EXPECT_EQ(run(platform, active), calls) << what;
  }
}

// The agent consults the registry, once its wait is over: another application's live
// session keeps the Dock (it holds the same originals and restores them at its end);
// the agent still ends its own session. Without the lock, it restores as ever.
TEST(Run, LeavesTheDockToAnotherApplicationsLiveSession) {
  const std::string other = "/work/other.plist";
  const Calls endsOwn = {"set com.example.owner velko.systemDockVisibilitySnapshot = (deleted)",
                         "sync com.example.owner", "remove /work/snap.plist", "unregister /work/snap.plist"};
  // A name, the registry's entries, when the other owner started (77 started at 1), what
  // the lock finds, and what the agent does.
  const std::tuple<const char*, std::vector<std::string>, int, RegistryAccess, Calls> cases[] = {
      {"only its own entry", {snapshotPath}, 1, RegistryAccess::locked, then(recovery, {endsOwn.back()})},
      {"another live session", {other, snapshotPath}, 1, RegistryAccess::locked, endsOwn},
      {"another live session, the lock held past the bound", {other, snapshotPath}, 1, RegistryAccess::busy,
       recovery},
  };
  for (const auto& [what, registry, started, access, calls] : cases) {
    FakePlatform platform;
    platform.probeAnswer = ProcessState::gone;
    platform.registry = registry;
    platform.registryAccess = access;
    platform.started[77] = 1;
    platform.files[other] = snapshotPlist(
        "<key>active</key><true/><key>ownerPID</key><integer>77</integer><key>sessionID</key><string>B</string>"
        "<key>ownerStartTime</key><integer>" +
        std::to_string(started) + "</integer><key>snapshot</key><dict/>");
    EXPECT_EQ(run(platform, snapshot(true, "812", "abc")), calls) << what;
  }
}

// An owner rewriting its snapshot in place as the agent starts: the first read, too,
// is given the settle wait before the snapshot counts as unreadable.
TEST(Run, ASnapshotCaughtMidWriteAtTheStartIsReadAgain) {
  FakePlatform platform;
  platform.probeAnswer = ProcessState::gone;
  platform.beforeRead = [&platform](int n) {
    if (n == 2) platform.files[snapshotPath] = snapshot(true, "812", "abc");
  };
  EXPECT_EQ(run(platform, "<plist><dict>"), recovery);
}

}  // namespace
