#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "owner/owner_session.h"
#include "snapshot/snapshot.h"

namespace {

OwnerState ownerState() {
  OwnerState state;
  state.config = {"/home/u/snapshot.plist", "com.example.owner", "/opt/agent"};
  return state;
}

FakePlatform ownerPlatform() {
  FakePlatform platform;
  platform.executables = {"/opt/agent"};
  platform.preferences["com.apple.dock orientation"] = std::string("left");
  platform.preferences["com.apple.dock autohide"] = false;
  return platform;
}

// Begin does each step only once the one before has made a crash safe to recover from.
TEST(OwnerSession, BeginRecordsThenProtectsThenChangesTheDock) {
  auto platform = ownerPlatform();
  auto state = ownerState();
  ASSERT_EQ(stageValue(state, "autohide", true).status, DOCK_RESTORE_OK);
  ASSERT_EQ(beginSession(platform, state).status, DOCK_RESTORE_OK);

  const auto record = readSnapshot(platform, "/home/u/snapshot.plist");
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->active);
  EXPECT_EQ(record->ownerPID, 4242);
  EXPECT_EQ(record->sessionID.size(), 36u);
  // Unset keys are left out, so that recovery deletes them again.
  EXPECT_EQ(record->settings, (PlistDictionary{
                                  {"orientation", PlistDictionary{{"type", "string"}, {"value", "left"}}},
                                  {"autohide", PlistDictionary{{"type", "bool"}, {"value", false}}}}));
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{
                "write /home/u/snapshot.plist",
                "set com.example.owner velko.systemDockVisibilitySnapshot = string \"/home/u/snapshot.plist\"",
                "sync com.example.owner",
                "start /opt/agent [/home/u/snapshot.plist] [4242] [" + record->sessionID + "] [com.example.owner]",
                "set com.apple.dock autohide = bool true", "sync com.apple.dock", "launch /usr/bin/killall [Dock]"}));
}

struct BadInput {
  const char* name;
  std::function<OwnerOutcome(FakePlatform&, OwnerState&)> act;
  dock_restore_status expected;
};

TEST(OwnerSession, BadInputIsRefusedAndChangesNothing) {
  const BadInput cases[] = {
      {"snapshot folder missing", [](auto& p, auto& s) { p.writeError = ENOENT; return beginSession(p, s); },
       DOCK_RESTORE_SNAPSHOT_UNWRITABLE},
      {"snapshot folder unwritable", [](auto& p, auto& s) { p.writeError = EACCES; return beginSession(p, s); },
       DOCK_RESTORE_SNAPSHOT_UNWRITABLE},
      {"snapshot path relative", [](auto& p, auto& s) { s.config.snapshotPath = "snapshot.plist"; return beginSession(p, s); },
       DOCK_RESTORE_INVALID_ARGUMENT},
      {"agent missing or not executable", [](auto& p, auto& s) { p.executables.clear(); return beginSession(p, s); },
       DOCK_RESTORE_AGENT_UNAVAILABLE},
      {"wrong kind", [](auto&, auto& s) { return stageValue(s, "autohide", 1.0); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {"key outside the six", [](auto&, auto& s) { return stageValue(s, "tilesize", 48.0); },
       DOCK_RESTORE_INVALID_ARGUMENT},
      {"end without begin", [](auto& p, auto& s) { return endSession(p, s); }, DOCK_RESTORE_NO_SESSION},
      {"second end",
       [](auto& p, auto& s) {
         beginSession(p, s);
         endSession(p, s);
         p.calls.clear();
         return endSession(p, s);
       },
       DOCK_RESTORE_NO_SESSION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto platform = ownerPlatform();
    auto state = ownerState();
    const auto outcome = c.act(platform, state);
    EXPECT_EQ(outcome.status, c.expected);
    EXPECT_FALSE(outcome.message.empty());
    EXPECT_EQ(platform.calls, std::vector<std::string>{});
    EXPECT_TRUE(state.staged.empty());
  }
}

}  // namespace
