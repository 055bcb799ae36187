#include "agent/run.h"

#include <gtest/gtest.h>

#include "agent/arguments.h"
#include "fake_platform.h"
#include "plist_text.h"

namespace {

const std::string snapshotPath = "/work/snap.plist";

std::string snapshot(bool active, const std::string& pid, const std::string& session,
                     const std::string& settings = "<key>autohide</key><dict><key>type</key>"
                                                   "<string>bool</string><key>value</key><false/></dict>") {
  return snapshotPlist(std::string("<key>active</key>") + (active ? "<true/>" : "<false/>") +
                       "<key>ownerPID</key><integer>" + pid + "</integer><key>sessionID</key><string>" +
                       session + "</string><key>snapshot</key><dict>" + settings + "</dict>");
}

int run(FakePlatform& platform, std::vector<const char*> arguments) {
  return runAgent(arguments, platform);
}

const std::vector<std::string> recovery = {
    "set com.apple.dock orientation = (deleted)",
    "set com.apple.dock autohide = bool false",
    "set com.apple.dock autohide-delay = (deleted)",
    "set com.apple.dock autohide-time-modifier = (deleted)",
    "set com.apple.dock no-bouncing = (deleted)",
    "set com.apple.dock launchanim = (deleted)",
    "sync com.apple.dock",
    "set com.example.owner velko.systemDockVisibilitySnapshot = (deleted)",
    "sync com.example.owner",
    "launch /usr/bin/killall [Dock]",
    "remove /work/snap.plist",
};

std::vector<std::string> withPrefix(std::vector<std::string> prefix, const std::vector<std::string>& rest) {
  prefix.insert(prefix.end(), rest.begin(), rest.end());
  return prefix;
}

TEST(Arguments, FewerThanFourIsAUsageErrorAndTouchesNothing) {
  FakePlatform platform;
  EXPECT_EQ(run(platform, {"snap.plist", "812", "abc"}), exitUsage);
  EXPECT_EQ(run(platform, {}), exitUsage);
  EXPECT_TRUE(platform.calls.empty());
}

TEST(Arguments, OwnerPidAndPathAreFormedOnce) {
  FakePlatform platform;
  struct Case {
    const char* text;
    std::int32_t pid;
  };
  for (const auto& c : {Case{"812", 812}, Case{"abc", 0}, Case{"", 0}, Case{"+", 0},
                        Case{"2147483648", 0}, Case{"-5", -5}, Case{" 7", 0}}) {
    const std::vector<const char*> argv = {"snap.plist", c.text, "abc", "d", "ignored extra"};
    const auto arguments = parseArguments(argv, platform);
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->ownerPID, c.pid) << c.text;
    EXPECT_EQ(arguments->snapshotPath, "/work/snap.plist");
  }
  const std::vector<const char*> absolute = {"/tmp/s.plist", "1", "", ""};
  EXPECT_EQ(parseArguments(absolute, platform)->snapshotPath, "/tmp/s.plist");
}

TEST(Run, OwnerDeathWithActiveSnapshotRecoversInOrder) {
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "812", "abc");
  platform.probeAnswers = {ProcessState::alive, ProcessState::alive, ProcessState::gone};
  EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
  EXPECT_EQ(platform.actions(), withPrefix({"setsid", "watch 812", "probe 812", "sleep 0.5", "probe 812",
                                            "sleep 0.5", "probe 812"},
                                           recovery));
  // Three passes, then the confirming read and the read for the settings.
  EXPECT_EQ(platform.reads, 5);
}

TEST(Run, CleanOwnerExitRestoresNothing) {
  for (const auto& finalState : {std::optional<std::string>{}, std::optional{snapshot(false, "812", "abc")},
                                 std::optional{std::string("<plist><dict>")}}) {
    FakePlatform platform;
    platform.files[snapshotPath] = snapshot(true, "812", "abc");
    platform.beforeRead = [&](int n) {
      if (n != 2) return;
      if (finalState) {
        platform.files[snapshotPath] = *finalState;
      } else {
        platform.files.erase(snapshotPath);
      }
    };
    EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
    EXPECT_EQ(platform.actions(), (std::vector<std::string>{"setsid", "watch 812", "probe 812", "sleep 0.5",
                                                            "probe 812", "sleep 0.5"}));
  }
}

TEST(Run, SnapshotOfAnotherOwnerOrSessionRestoresNothing) {
  for (const auto& content : {snapshot(true, "813", "abc"), snapshot(true, "812", "ABC"),
                              snapshot(true, "812", "abc "), snapshot(false, "812", "abc")}) {
    FakePlatform platform;
    platform.files[snapshotPath] = content;
    EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
    EXPECT_EQ(platform.actions(), std::vector<std::string>{"setsid"});
  }
}

TEST(Run, SessionsMatchUnderCanonicalEquivalence) {
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "812", "caf\xC3\xA9");
  platform.defaultProbe = ProcessState::gone;
  EXPECT_EQ(run(platform, {"snap.plist", "812", "cafe\xCC\x81", "com.example.owner"}), 0);
  EXPECT_EQ(platform.actions(), withPrefix({"setsid", "watch 812", "probe 812"}, recovery));
}

TEST(Run, NonPositiveOwnerPidEndsTheWaitWithoutProbing) {
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "-5", "abc");
  EXPECT_EQ(run(platform, {"snap.plist", "-5", "abc", "com.example.owner"}), 0);
  EXPECT_EQ(platform.actions(), withPrefix({"setsid"}, recovery));

  FakePlatform unparsed;
  unparsed.files[snapshotPath] = snapshot(true, "812", "abc");
  EXPECT_EQ(run(unparsed, {"snap.plist", "x812", "abc", "com.example.owner"}), 0);
  EXPECT_EQ(unparsed.actions(), std::vector<std::string>{"setsid"});
}

TEST(Run, SettingsComeFromTheNewestFileWhateverItNowSays) {
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "812", "abc");
  platform.defaultProbe = ProcessState::gone;
  platform.beforeRead = [&](int n) {
    if (n == 2) {
      platform.files[snapshotPath] =
          snapshot(false, "1", "other", "<key>orientation</key><dict><key>type</key><string>string</string>"
                                         "<key>value</key><string>left</string></dict>");
    }
  };
  EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
  const auto actions = platform.actions();
  ASSERT_GE(actions.size(), 5u);
  EXPECT_EQ(actions[3], "set com.apple.dock orientation = string \"left\"");
  EXPECT_EQ(actions[4], "set com.apple.dock autohide = (deleted)");
}

TEST(Run, SnapshotGoneBeforeTheSettingsReadRestoresNothing) {
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "812", "abc");
  platform.defaultProbe = ProcessState::gone;
  platform.beforeRead = [&](int n) {
    if (n == 2) platform.files[snapshotPath] = "bplist00";
  };
  EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
  EXPECT_EQ(platform.actions(), (std::vector<std::string>{"setsid", "watch 812", "probe 812"}));
}

TEST(Run, AnExitSeenDuringAPauseOutweighsAProbeThatStillFindsThePid) {
  // A zombie owner, or a newcomer under its PID, still answers the probe.
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "812", "abc");
  platform.exitSeenAnswers = {false, true};
  EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
  EXPECT_EQ(platform.actions(), withPrefix({"setsid", "watch 812", "probe 812", "sleep 0.5", "probe 812",
                                            "sleep 0.5"},
                                           recovery));
}

TEST(Run, AnOwnerThatDeactivatesAndExitsIsNotRecovered) {
  FakePlatform platform;
  platform.files[snapshotPath] = snapshot(true, "812", "abc");
  platform.exitSeenAnswers = {true};
  platform.beforeRead = [&](int n) {
    if (n == 1) platform.files[snapshotPath] = snapshot(false, "812", "abc");
  };
  EXPECT_EQ(run(platform, {"snap.plist", "812", "abc", "com.example.owner"}), 0);
  EXPECT_EQ(platform.actions(), (std::vector<std::string>{"setsid", "watch 812", "probe 812", "sleep 0.5"}));
}

}  // namespace
