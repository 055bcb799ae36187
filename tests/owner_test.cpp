#include <cerrno>
#include <cmath>
#include <functional>
#include <span>
#include <memory>
#include <tuple>

#include <gtest/gtest.h>

#include "agent/run.h"
#include "dock_restore.h"
#include "fake_platform.h"
#include "owner/owner_handle.h"
#include "owner/owner_session.h"
#include "owner/stale_sessions.h"
#include "restore/dock_settings.h"
#include "snapshot/snapshot.h"

namespace {

const std::string path = "/home/u/snapshot.plist";
const std::string otherPath = "/home/u/other.plist";
const std::string marker = "com.example.owner velko.systemDockVisibilitySnapshot";

struct OwnerFixture {
  FakePlatform platform;
  OwnerState state;
  OwnerFixture() {
    state.config = {path, "com.example.owner", "/opt/agent"};
    platform.preferences["com.apple.dock orientation"] = std::string("left");
    platform.preferences["com.apple.dock autohide"] = false;
  }
  // Begins with the Dock hidden, as an application does.
  OwnerOutcome hide(OwnerState& owner) {
    stageValue(owner, "autohide", true);
    stageValue(owner, "orientation", std::string("bottom"));
    return beginSession(platform, owner);
  }
  PlistValue dock(const std::string& key) { return platform.preferences.at("com.apple.dock " + key); }
  bool dockAsUserHadIt() { return dock("autohide") == PlistValue(false) && dock("orientation") == PlistValue("left"); }
  // A snapshot left by another process, `pid`, started at `started` when given.
  void leaveSnapshot(const std::string& at, int pid, bool active, std::optional<std::int64_t> started = {},
                     const std::string& domain = "com.example.owner") {
    PlistDictionary content{{"active", active}, {"ownerPID", PlistInteger{pid}}, {"sessionID", "S0"},
                            {"snapshot", PlistDictionary{{"autohide", PlistDictionary{{"type", "bool"}, {"value", false}}}}}};
    if (started) content.emplace("ownerStartTime", PlistInteger{*started});
    if (!domain.empty()) content.emplace("ownerDomain", domain);  // none: an owner that writes its own
    platform.files[at] = *writeXmlPropertyList(content);
    if (!domain.empty()) platform.preferences[domain + " velko.systemDockVisibilitySnapshot"] = true;
  }
  bool recover() {
    bool restored = false;
    EXPECT_EQ(recoverAtLaunch(platform, state.config, restored).status, DOCK_RESTORE_OK);
    return restored;
  }
};

// Begin does each step only once the one before has made a crash safe to recover from:
// the registry entry, then the snapshot, each on stable storage (the platform's promise
// for those two calls), before the first preference is written.
TEST(OwnerSession, BeginRecordsThenProtectsThenChangesTheDock) {
  OwnerFixture f;
  ASSERT_EQ(stageValue(f.state, "autohide", true).status, DOCK_RESTORE_OK);
  ASSERT_EQ(beginSession(f.platform, f.state).status, DOCK_RESTORE_OK);

  // The agent is given the session the snapshot records.
  const std::string session = readSnapshot(f.platform, path).value().sessionID;
  EXPECT_FALSE(session.empty());
  EXPECT_EQ(f.platform.calls,
            (std::vector<std::string>{
                "register /home/u/snapshot.plist", "write /home/u/snapshot.plist",
                "set com.example.owner velko.systemDockVisibilitySnapshot = string \"/home/u/snapshot.plist\"",
                "sync com.example.owner",
                "start /opt/agent [/home/u/snapshot.plist] [4242] [" + session + "] [com.example.owner]",
                "set com.apple.dock autohide = bool true", "sync com.apple.dock", "launch /usr/bin/killall [Dock]"}));
}

TEST(OwnerSession, BadInputIsRefusedAndChangesNothing) {
  const std::pair<std::function<OwnerOutcome(OwnerFixture&)>, dock_restore_status> cases[] = {
      {[](auto& f) {
         f.platform.agentExecutable = false;
         return beginSession(f.platform, f.state);
       },
       DOCK_RESTORE_AGENT_UNAVAILABLE},
      {[](auto& f) { return stageValue(f.state, "autohide", 1.0); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return stageValue(f.state, "tilesize", 48.0); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return stageValue(f.state, "orientation", std::string("top")); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return stageValue(f.state, "autohide-delay", -1.0); }, DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return stageValue(f.state, "autohide-time-modifier", std::nan("")); },
       DOCK_RESTORE_INVALID_ARGUMENT},
      {[](auto& f) { return stageValue(f.state, "autohide-delay", HUGE_VAL); }, DOCK_RESTORE_INVALID_ARGUMENT},
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
    // A registry entry made and taken back again is no change.
    std::erase_if(f.platform.calls, [](const std::string& call) { return call.find("register ") != std::string::npos; });
    EXPECT_EQ(f.platform.calls, std::vector<std::string>{});
    EXPECT_TRUE(f.state.staged.empty());
    EXPECT_FALSE(f.state.session);
    EXPECT_TRUE(f.platform.registry.empty());
  }
}

// Whatever applications begin, end or die in whatever order, the Dock gets the user's
// own values back once no session is live, and never loses them on the way.
TEST(OwnerSession, OneOriginalPerUserAndNothingLeftHalfDone) {
  const std::pair<const char*, std::function<void(OwnerFixture&)>> cases[] = {
      {"an inactive registered snapshot is no original, and its entry goes",
       [](auto& f) {
         f.leaveSnapshot(otherPath, 4242, false, 1000);
         f.platform.registry = {otherPath};
         f.platform.preferences["com.apple.dock autohide"] = true;
         ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
         EXPECT_EQ(f.platform.registry, std::vector<std::string>{path});
         endSession(f.platform, f.state);
         EXPECT_EQ(f.dock("autohide"), PlistValue(true));
       }},
      {"the agent fails to start: another instance's session, its agent and no marker, as before",
       [](auto& f) {
         f.platform.started[77] = 1;
         f.leaveSnapshot(path, 77, true, 1);
         f.platform.preferences.erase(marker);
         const auto before = f.platform.files[path];
         f.platform.startAnswer = -ENOENT;
         EXPECT_EQ(f.hide(f.state).status, DOCK_RESTORE_AGENT_UNAVAILABLE);
         EXPECT_EQ(f.platform.files[path], before);
         EXPECT_FALSE(f.platform.preferences.contains(marker));
         EXPECT_TRUE(f.platform.registry.empty());
         EXPECT_EQ(f.platform.calls.back(), "start /opt/agent [" + path + "] [77] [S0] [com.example.owner]");
         EXPECT_EQ(f.dock("autohide"), PlistValue(false));
       }},
      {"a dead owner's session on this path is recovered, never adopted, even by a begin that fails",
       [](auto& f) {
         f.leaveSnapshot(path, 78, true, 1);
         f.platform.registry = {path};
         f.platform.preferences["com.apple.dock autohide"] = true;
         f.platform.startAnswer = -ENOENT;
         EXPECT_EQ(f.hide(f.state).status, DOCK_RESTORE_AGENT_UNAVAILABLE);
         EXPECT_EQ(f.dock("autohide"), PlistValue(false));
         EXPECT_FALSE(f.platform.files.contains(path) || f.platform.preferences.contains(marker));
         EXPECT_TRUE(f.platform.registry.empty());
       }},
      {"the Dock cannot be written: nothing changed, no session",
       [](auto& f) {
         f.platform.failingDomain = "com.apple.dock";
         EXPECT_EQ(f.hide(f.state).status, DOCK_RESTORE_SYSTEM_ERROR);
         EXPECT_TRUE(f.dockAsUserHadIt());
         EXPECT_FALSE(f.platform.files.contains(path));
         EXPECT_FALSE(f.platform.preferences.contains(marker));
         EXPECT_TRUE(f.platform.registry.empty());
         EXPECT_FALSE(f.state.session);
       }},
      {"end after another application died with its session registered counts that one stale",
       [](auto& f) {
         f.leaveSnapshot(otherPath, 79, true, 1, "com.example.other");
         f.platform.registry = {otherPath};
         ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
         ASSERT_EQ(endSession(f.platform, f.state).status, DOCK_RESTORE_OK);
         EXPECT_EQ(f.dock("autohide"), PlistValue(false));
       }},
      {"a failed second begin keeps the first session, entry included",
       [](auto& f) {
         ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
         f.platform.startAnswer = -EAGAIN;
         EXPECT_EQ(f.hide(f.state).status, DOCK_RESTORE_AGENT_UNAVAILABLE);
         EXPECT_EQ(f.platform.registry, std::vector<std::string>{path});
         EXPECT_TRUE(readSnapshot(f.platform, path)->active);
       }},
      {"end keeps snapshot, marker and entry while the Dock cannot be synchronized",
       [](auto& f) {
         ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
         f.platform.failingDomain = "com.apple.dock";
         EXPECT_EQ(endSession(f.platform, f.state).status, DOCK_RESTORE_SYSTEM_ERROR);
         EXPECT_TRUE(f.platform.files.contains(path));
         EXPECT_TRUE(f.platform.preferences.contains(marker));
         EXPECT_EQ(f.platform.registry, std::vector<std::string>{path});
         EXPECT_TRUE(f.state.session);
       }},
      {"an agent's PID taken by another process, and an end after a takeover changes nothing",
       [](auto& f) {
         ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
         f.platform.started[900] = 6000;
         EXPECT_EQ(sessionState(f.platform, f.state), DOCK_RESTORE_STATE_AGENT_GONE);
         OwnerState second{f.state.config, {}, {}};
         ASSERT_EQ(f.hide(second).status, DOCK_RESTORE_OK);
         f.platform.calls.clear();
         EXPECT_EQ(endSession(f.platform, f.state).status, DOCK_RESTORE_OK);
         EXPECT_EQ(f.platform.calls, std::vector<std::string>{});
         EXPECT_EQ(sessionState(f.platform, f.state), DOCK_RESTORE_STATE_NONE);
         EXPECT_EQ(sessionState(f.platform, second), DOCK_RESTORE_STATE_PROTECTED);
       }},
  };
  for (const auto& [name, run] : cases) {
    SCOPED_TRACE(name);
    OwnerFixture f;
    run(f);
  }
}

// recover restores exactly when the recorded owner is gone, and clears a stale marker.
TEST(OwnerSession, RecoverTellsADeadOwnerFromALiveOne) {
  // A name, the owner PID and start time the snapshot records, whether it is active, and
  // whether recover restores.
  const std::tuple<const char*, int, bool, std::optional<std::int64_t>, bool> cases[] = {
      {"another process started then runs: an instance, whatever its executable", 77, true, 1, false},
      {"a process under that PID started at another time", 77, true, 2, true},
      {"our own PID, without a start time", 4242, true, std::nullopt, true},
      {"our own PID, written by this very process", 4242, true, 1000, false},
      {"an inactive snapshot", 78, false, 1, false},
  };
  for (const auto& [name, pid, active, started, restored] : cases) {
    SCOPED_TRACE(name);
    OwnerFixture f;
    f.platform.started[77] = 1;
    f.leaveSnapshot(path, pid, active, started);
    EXPECT_EQ(f.recover(), restored);
    EXPECT_EQ(f.platform.files.contains(path), !restored);
    EXPECT_EQ(f.platform.preferences.contains(marker), active && !restored);
  }
}

// dock-restore-recover, in the order and the number of its writes: one restore for
// every stale session, then each ended; nothing else while the Dock cannot be synchronized.
TEST(OwnerSession, RecoveryCommandRecoversEveryStaleSessionOnce) {
  using Calls = std::vector<std::string>;
  const Calls restore = {"set com.apple.dock orientation = (deleted)",
                         "set com.apple.dock autohide = bool false",
                         "set com.apple.dock autohide-delay = (deleted)",
                         "set com.apple.dock autohide-time-modifier = (deleted)",
                         "set com.apple.dock no-bouncing = (deleted)",
                         "set com.apple.dock launchanim = (deleted)",
                         "sync com.apple.dock",
                         "sync com.apple.dock"};
  Calls both = restore;
  for (const auto& [at, domain] : {std::pair{otherPath, "com.example.other"}, std::pair{path, "com.example.owner"}}) {
    both.insert(both.end(), {"set " + std::string(domain) + " velko.systemDockVisibilitySnapshot = (deleted)",
                             "sync " + std::string(domain), "remove " + at, "unregister " + at});
  }
  both.emplace_back("launch /usr/bin/killall [Dock]");
  Calls nameless = restore;
  nameless.insert(nameless.end(), {"remove " + path, "unregister " + path, "launch /usr/bin/killall [Dock]"});
  const auto twoStale = [](OwnerFixture& f) {
    f.leaveSnapshot(path, 78, true, 1);
    f.leaveSnapshot(otherPath, 79, true, 1, "com.example.other");
  };
  // 78 and 79 are gone. A name, the arrangement, whether a dry run, what is done, whether
  // nothing stale is left.
  const std::tuple<const char*, std::function<void(OwnerFixture&)>, bool, Calls, bool> cases[] = {
      {"two stale sessions", twoStale, false, both, true},
      {"the lock busy past its bound: it goes on unlocked",
       [&](auto& f) { twoStale(f), f.platform.registryAccess = RegistryAccess::busy; }, false, both, true},
      {"a dry run, beside an inactive entry",
       [&](auto& f) { twoStale(f), f.leaveSnapshot("/home/u/inactive.plist", 78, false, 1); }, true, {}, true},
      {"an inactive entry", [](auto& f) { f.leaveSnapshot(path, 78, false, 1); }, false, {"unregister " + path}, true},
      {"a snapshot that names no owner domain", [](auto& f) { f.leaveSnapshot(path, 78, true, 1, ""); }, false,
       nameless, true},
      {"the Dock cannot be synchronized: the session stays for the next run",
       [](auto& f) {
         f.leaveSnapshot(path, 78, true, 1);
         f.platform.failingDomain = "com.apple.dock";
       },
       false, restore, false},
  };
  for (const auto& [name, arrange, dryRun, calls, complete] : cases) {
    SCOPED_TRACE(name);
    OwnerFixture f;
    arrange(f);
    for (const auto& [at, bytes] : f.platform.files) f.platform.registry.push_back(at);
    EXPECT_EQ(recoverStaleSessions(f.platform, dryRun).complete, complete);
    EXPECT_EQ(f.platform.calls, calls);
  }
}

// A session begun again (its agent lost, say, and the Dock its values) puts back what it
// applied before, with new values over it; end restores the user's.
TEST(OwnerSession, ABeginAgainReappliesTheSessionsValues) {
  OwnerFixture f;
  ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
  f.platform.started.erase(900);
  f.platform.preferences["com.apple.dock autohide"] = false;
  stageValue(f.state, "orientation", std::string("right"));
  ASSERT_EQ(beginSession(f.platform, f.state).status, DOCK_RESTORE_OK);
  EXPECT_EQ(f.dock("autohide"), PlistValue(true));
  EXPECT_EQ(f.dock("orientation"), PlistValue("right"));
  ASSERT_EQ(endSession(f.platform, f.state).status, DOCK_RESTORE_OK);
  EXPECT_TRUE(f.dockAsUserHadIt());
}

PlistDictionary entry(const char* type, PlistValue value) { return {{"type", type}, {"value", std::move(value)}}; }

// What a recovery writes back, from originals that had the Dock on the left, not
// hiding, and no delay set: with a record of what the session applied, only a key it
// applied whose value the Dock still holds, read by meaning; in doubt, the key too.
TEST(Restore, PutsBackOnlyWhatTheSessionAppliedAndTheDockStillHolds) {
  const PlistDictionary originals{{"orientation", entry("string", "left")}, {"autohide", entry("bool", false)}};
  const PlistDictionary hid{{"autohide", entry("bool", true)}, {"autohide-delay", entry("number", 1000.0)}};
  const PlistDictionary unreadable{{"autohide", entry("Bool", true)}, {"autohide-delay", entry("number", "x")}};
  // A name, the record, what the Dock holds besides the orientation the user chose
  // meanwhile, whether its domain reads, and whether the two keys applied go back.
  const std::tuple<const char*, PlistDictionary, PlistDictionary, bool, bool> cases[] = {
      {"integer 1 is true, text a number", hid, {{"autohide", PlistInteger{1}}, {"autohide-delay", "1e3"}}, true, true},
      {"removed by the user", hid, {}, true, false},
      {"a value that does not read", hid, {{"autohide", PlistDate{}}, {"autohide-delay", "soon"}}, true, true},
      {"a domain that does not read", hid, {}, false, true},
      {"an entry that does not read", unreadable, {{"autohide", true}, {"autohide-delay", 0.5}}, true, true},
  };
  for (const auto& [name, applied, dock, readable, putBack] : cases) {
    SCOPED_TRACE(name);
    FakePlatform platform;
    platform.preferences["com.apple.dock orientation"] = std::string("bottom");
    for (const auto& [key, value] : dock) platform.preferences["com.apple.dock " + key] = value;
    platform.dockReadable = readable;
    restoreChangedSettings(platform, originals, applied);
    using Calls = std::vector<std::string>;
    auto calls =
        putBack ? Calls{"set com.apple.dock autohide = bool false", "set com.apple.dock autohide-delay = (deleted)"}
                : Calls{};
    calls.emplace_back("sync com.apple.dock");
    EXPECT_EQ(platform.calls, calls);
  }
}

// Two applications that change different keys: whichever ends last puts back what both
// applied, also when the first to end began last.
TEST(OwnerSession, TheLastSessionToEndPutsBackWhatEveryOneApplied) {
  for (const bool laterEndsFirst : {false, true}) {
    SCOPED_TRACE(laterEndsFirst);
    OwnerFixture f;
    OwnerState other{{otherPath, "com.example.other", "/opt/agent"}, {}, {}};
    stageValue(other, "orientation", std::string("bottom"));
    ASSERT_EQ(beginSession(f.platform, other).status, DOCK_RESTORE_OK);
    stageValue(f.state, "autohide", true);
    ASSERT_EQ(beginSession(f.platform, f.state).status, DOCK_RESTORE_OK);
    auto& first = laterEndsFirst ? f.state : other;
    auto& last = laterEndsFirst ? other : f.state;
    ASSERT_EQ(endSession(f.platform, first).status, DOCK_RESTORE_OK);
    EXPECT_EQ(f.dock("autohide"), PlistValue(true));
    ASSERT_EQ(endSession(f.platform, last).status, DOCK_RESTORE_OK);
    EXPECT_TRUE(f.dockAsUserHadIt());
  }
}

// Power cuts. What a session stores on its way (begin, then end, the agent's restore,
// dock-restore-recover or the next launch's recover) is journalled; every state a cut
// can leave, each prefix less any subset of what no flush has made durable yet, is then
// recovered as the next login would and as the next launch would. The Dock has the
// user's six values again, and a change the user makes afterwards survives one more
// session, with nothing left behind.
TEST(OwnerSession, EveryStateAPowerCutLeavesRecovers) {
  const std::map<std::string, PlistValue> users = {
      {"com.apple.dock orientation", "left"}, {"com.apple.dock autohide", false},
      {"com.apple.dock autohide-delay", 0.5}, {"com.apple.dock autohide-time-modifier", 1.0},
      {"com.apple.dock no-bouncing", false},  {"com.apple.dock launchanim", true}};
  auto changed = users;
  changed["com.apple.dock orientation"] = "right";
  const std::function<void(OwnerFixture&)> endings[] = {
      [](auto& f) { endSession(f.platform, f.state); },
      [](auto& f) {  // the agent
        const auto session = readSnapshot(f.platform, path).value().sessionID;
        f.platform.probeAnswer = ProcessState::gone;
        runAgent(std::vector<const char*>{path.c_str(), "4242", session.c_str(), "com.example.owner"}, f.platform);
      },
      [](auto& f) { f.platform.started.clear(), recoverStaleSessions(f.platform, false); },
      [](auto& f) {
        f.platform.started = {{4242, 2000}};
        f.recover();
      }};
  for (std::size_t ending = 0; ending < std::size(endings); ++ending) {
    OwnerFixture live;
    live.platform.preferences = users;
    ASSERT_EQ(live.hide(live.state).status, DOCK_RESTORE_OK);
    endings[ending](live);
    const std::span journal(live.platform.journal);
    for (std::size_t cut = 0; cut <= journal.size(); ++cut) {
      std::vector<std::size_t> pending;  // not yet durable at the cut
      for (std::size_t i = 0; i < cut; ++i) {
        const auto flushes = [&](const auto& later) { return later.durable && later.folder == journal[i].folder; };
        if (!journal[i].durable && std::ranges::none_of(journal.subspan(i + 1, cut - i - 1), flushes)) {
          pending.push_back(i);
        }
      }
      for (std::size_t lost = 0; lost < (std::size_t{1} << pending.size()); ++lost) {
        for (const bool launch : {false, true}) {
          SCOPED_TRACE(::testing::Message() << "ending " << ending << ", cut after " << cut << " writes, lost "
                                            << lost << (launch ? ", at launch" : ", at login"));
          OwnerFixture f;
          auto& disk = f.platform;
          disk.preferences = users;
          for (std::size_t i = 0; i < cut; ++i) {
            const auto at = std::ranges::find(pending, i) - pending.begin();
            if (static_cast<std::size_t>(at) == pending.size() || ((lost >> at) & 1) == 0) journal[i].apply(disk);
          }
          disk.started = {{4242, 2000}};  // after a restart, the PID the dead owner had is ours
          if (launch) {
            f.recover();
          } else {
            recoverStaleSessions(disk, false);
            disk.preferences.erase(marker);  // a bare marker is the launch's to clear
          }
          EXPECT_EQ(disk.preferences, users);
          disk.preferences["com.apple.dock orientation"] = "right";
          ASSERT_EQ(f.hide(f.state).status, DOCK_RESTORE_OK);
          EXPECT_EQ(endSession(disk, f.state).status, DOCK_RESTORE_OK);
          EXPECT_EQ(disk.preferences, changed);
          EXPECT_TRUE(disk.files.empty() && disk.registry.empty());
        }
      }
    }
  }
}

// The C call empties what was staged, refuses only a NULL handle, and as a call that
// succeeded clears the message.
TEST(OwnerLibrary, DiscardValuesThroughTheCInterface) {
  EXPECT_EQ(dock_restore_discard_values(nullptr), DOCK_RESTORE_INVALID_ARGUMENT);
  dock_restore_owner owner{std::make_unique<FakePlatform>(), {}, ""};
  ASSERT_EQ(dock_restore_set_bool(&owner, "autohide", 1), DOCK_RESTORE_OK);
  EXPECT_EQ(dock_restore_set_string(&owner, "orientation", "top"), DOCK_RESTORE_INVALID_ARGUMENT);
  EXPECT_EQ(dock_restore_discard_values(&owner), DOCK_RESTORE_OK);
  EXPECT_TRUE(owner.state.staged.empty());
  EXPECT_STREQ(dock_restore_message(&owner), "");
}

// dock-restore-recover answers EX_SOFTWARE when something throws (memory running out).
TEST(OwnerLibrary, RecoveryCommandAnswers70OnAnUnexpectedFailure) {
  struct Failing : FakePlatform {
    std::vector<std::string> registeredSnapshots() override { throw std::bad_alloc(); }
  };
  EXPECT_EQ(runStaleRecovery([] { return std::unique_ptr<OwnerPlatform>(std::make_unique<Failing>()); }, false,
                             [](const std::string&) {}), 70);
}

}  // namespace
