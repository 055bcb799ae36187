#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "owner/owner_session.h"
#include "snapshot/snapshot.h"

namespace {

struct OwnerFixture {
  FakePlatform platform;
  OwnerState state;
  OwnerFixture() {
    state.config = {"/home/u/snapshot.plist", "com.example.owner", "/opt/agent"};
    platform.preferences["com.apple.dock orientation"] = std::string("left");
    platform.preferences["com.apple.dock autohide"] = false;
  }
};

// Begin does each step only once the one before has made a crash safe to recover from.
TEST(OwnerSession, BeginRecordsThenProtectsThenChangesTheDock) {
  OwnerFixture f;
  ASSERT_EQ(stageValue(f.state, "autohide", true).status, DOCK_RESTORE_OK);
  ASSERT_EQ(beginSession(f.platform, f.state).status, DOCK_RESTORE_OK);

  // The agent is given the session the snapshot records. Unset keys are left out, so
  // that recovery deletes them again.
  const std::string session = readSnapshot(f.platform, "/home/u/snapshot.plist").value().sessionID;
  EXPECT_FALSE(session.empty());
  EXPECT_EQ(readSnapshot(f.platform, "/home/u/snapshot.plist"),
            (SnapshotRecord{true, 4242, session,
                            {{"orientation", PlistDictionary{{"type", "string"}, {"value", "left"}}},
                             {"autohide", PlistDictionary{{"type", "bool"}, {"value", false}}}}}));
  EXPECT_EQ(f.platform.calls,
            (std::vector<std::string>{
                "write /home/u/snapshot.plist",
                "set com.example.owner velko.systemDockVisibilitySnapshot = string \"/home/u/snapshot.plist\"",
                "sync com.example.owner",
                "start /opt/agent [/home/u/snapshot.plist] [4242] [" + session + "] [com.example.owner]",
                "set com.apple.dock autohide = bool true", "sync com.apple.dock", "launch /usr/bin/killall [Dock]"}));
}

TEST(OwnerSession, BadInputIsRefusedAndChangesNothing) {
  const std::pair<std::function<OwnerOutcome(OwnerFixture&)>, dock_restore_status> cases[] = {
      {[](auto& f) { f.platform.writeError = ENOENT; return beginSession(f.platform, f.state); },
       DOCK_RESTORE_SNAPSHOT_UNWRITABLE},
      {[](auto& f) { f.platform.writeError = EACCES; return beginSession(f.platform, f.state); },
       DOCK_RESTORE_SNAPSHOT_UNWRITABLE},
      {[](auto& f) { f.platform.agentExecutable = false; return beginSession(f.platform, f.state); },
       DOCK_RESTORE_AGENT_UNAVAILABLE},
      {[](auto& f) { return stageValue(f.state, "autohide", 1.0); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return stageValue(f.state, "tilesize", 48.0); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return endSession(f.platform, f.state); }, DOCK_RESTORE_NO_SESSION},
      {[](auto& f) {  // a second end
         beginSession(f.platform, f.state);
         endSession(f.platform, f.state);
         f.platform.calls.clear();
         return endSession(f.platform, f.state);
       },
       DOCK_RESTORE_NO_SESSION},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    OwnerFixture f;
    const auto outcome = cases[i].first(f);
    EXPECT_EQ(outcome.status, cases[i].second);
    EXPECT_FALSE(outcome.message.empty());
    EXPECT_EQ(f.platform.calls, std::vector<std::string>{});
    EXPECT_TRUE(f.state.staged.empty());
  }
}

}  // namespace
