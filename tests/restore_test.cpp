#include "restore/dock_settings.h"
#include "restore/finish.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace {

PlistValue entry(const char* type, std::optional<PlistValue> value = std::nullopt) {
  PlistDictionary fields{{"type", PlistValue{std::string(type)}}};
  if (value) fields.emplace("value", *value);
  return PlistValue{fields};
}

PlistValue text(const char* s) { return PlistValue{std::string(s)}; }

TEST(PreferenceFromEntry, FollowsTheDecisionTable) {
  struct Case {
    const char* what;
    std::optional<PlistValue> entry;
    std::string written;
  };
  const PlistInt128 big = (static_cast<PlistInt128>(1) << 64) - 1;
  const Case cases[] = {
      {"missing", std::nullopt, "(deleted)"},
      {"not a dictionary", text("bool"), "(deleted)"},
      {"an array", PlistValue{PlistArray{}}, "(deleted)"},
      {"empty entry", PlistValue{PlistDictionary{}}, "(deleted)"},
      {"value without type", PlistValue{PlistDictionary{{"value", PlistValue{true}}}}, "(deleted)"},
      {"type not text", PlistValue{PlistDictionary{{"type", PlistValue{true}}}}, "(deleted)"},
      {"type Bool", entry("Bool", PlistValue{true}), "(deleted)"},
      {"type with blank", entry("bool ", PlistValue{true}), "(deleted)"},
      {"type STRING", entry("STRING", text("x")), "(deleted)"},
      {"type empty", entry("", text("x")), "(deleted)"},
      {"type integer", entry("integer", PlistValue{PlistInteger{1}}), "(deleted)"},
      {"bool true", entry("bool", PlistValue{true}), "bool true"},
      {"bool from word", entry("bool", text("Yes")), "bool true"},
      {"bool without value", entry("bool"), "bool false"},
      {"bool unreadable", entry("bool", text("on")), "bool false"},
      {"number real", entry("number", PlistValue{0.25}), "real 0.25"},
      {"number integer", entry("number", PlistValue{PlistInteger{1}}), "real 1"},
      {"number huge integer", entry("number", PlistValue{PlistInteger{big}}), "real 18446744073709551616"},
      {"number boolean", entry("number", PlistValue{true}), "real 1"},
      {"number text", entry("number", text("1e-1")), "real 0.1"},
      {"number bad text", entry("number", text("fast")), "real 0"},
      {"number without value", entry("number"), "real 0"},
      {"string", entry("string", text("left")), "string \"left\""},
      {"string from number", entry("string", PlistValue{PlistInteger{42}}), "string \"\""},
      {"string without value", entry("string"), "string \"\""},
  };
  for (const auto& c : cases) {
    const PlistValue* e = c.entry ? &*c.entry : nullptr;
    EXPECT_EQ(FakePlatform::describe(preferenceFromEntry(e)), c.written) << c.what;
  }
}

TEST(RestoreDockSettings, MakesSixCallsInTableOrderThenOneSync) {
  FakePlatform platform;
  PlistDictionary settings{{"autohide", entry("bool", PlistValue{true})},
                           {"show-recents", entry("bool", PlistValue{true})},
                           {"launchanim", entry("number", PlistValue{2.0})}};
  restoreDockSettings(platform, settings);
  EXPECT_EQ(platform.calls, (std::vector<std::string>{
                                "set com.apple.dock orientation = (deleted)",
                                "set com.apple.dock autohide = bool true",
                                "set com.apple.dock autohide-delay = (deleted)",
                                "set com.apple.dock autohide-time-modifier = (deleted)",
                                "set com.apple.dock no-bouncing = (deleted)",
                                "set com.apple.dock launchanim = real 2",
                                "sync com.apple.dock",
                            }));
}

TEST(Finish, ClearsMarkerRestartsDockAndRemovesSnapshotEvenWhenStepsFail) {
  FakePlatform platform;
  platform.launchSucceeds = false;
  clearOwnerMarker(platform, "");
  relaunchDock(platform);
  removeSnapshotFile(platform, "/gone.plist");
  EXPECT_EQ(platform.calls, (std::vector<std::string>{
                                "set  velko.systemDockVisibilitySnapshot = (deleted)",
                                "sync ",
                                "launch /usr/bin/killall [Dock]",
                                "remove /gone.plist",
                            }));
}

}  // namespace
