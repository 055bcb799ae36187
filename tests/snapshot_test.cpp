// Reading a snapshot file, and what each of its entries makes the agent write.

#include "snapshot/snapshot.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "plist_text.h"
#include "restore/dock_settings.h"

namespace {

std::optional<SnapshotRecord> readFrom(const std::optional<std::string>& bytes) {
  FakePlatform platform;
  if (bytes) platform.files["/s.plist"] = *bytes;
  return readSnapshot(platform, "/s.plist");
}

const std::string emptySettings = "<key>snapshot</key><dict/>";

TEST(ReadSnapshot, NoRecordWithoutASnapshotDictionary) {
  const std::string rest = "<key>active</key><true/><key>ownerPID</key><integer>812</integer>";
  const std::optional<std::string> files[] = {
      std::nullopt, "<plist><dict>", snapshotPlist(rest), snapshotPlist(rest + "<key>snapshot</key><string>x</string>"),
      snapshotPlist(rest + "<key>snapshot</key><array/>"), snapshotPlist(rest + "<key>Snapshot</key><dict/>"),
      xmlPlist("<array><dict>" + emptySettings + "</dict></array>"),
  };
  for (const auto& file : files) EXPECT_FALSE(readFrom(file)) << file.value_or("(missing)");
}

TEST(ReadSnapshot, FieldsReadLenientlyAndFallBackToDefaults) {
  const std::pair<std::string, SnapshotRecord> cases[] = {
      {"<key>active</key><string>YES</string><key>ownerPID</key><string>812</string>", {true, 812, "", {}}},
      {"<key>active</key><string>on</string><key>ownerPID</key><real>812.9</real>", {false, 812, "", {}}},
      // Outside the 32-bit range no process can match: the default, not a wrapped value.
      {"<key>ownerPID</key><integer>4294967297</integer>", {false, 0, "", {}}},
      {"<key>ownerPID</key><integer>-2147483648</integer>", {false, -2147483647 - 1, "", {}}},
      {"<key>sessionID</key><integer>42</integer>", {false, 0, "", {}}},
      {"<key>sessionID</key><string> Mixed Case </string>", {false, 0, " Mixed Case ", {}}},
  };
  for (const auto& [entries, record] : cases) EXPECT_EQ(readFrom(snapshotPlist(emptySettings + entries)), record) << entries;
}

PlistValue text(const char* s) { return PlistValue{std::string(s)}; }

PlistValue entry(PlistValue type, std::optional<PlistValue> value = std::nullopt) {
  PlistDictionary fields{{"type", std::move(type)}};
  if (value) fields.emplace("value", *value);
  return PlistValue{fields};
}

// The order of the writes is the run tests'; the lenient readings themselves are the
// coercions' tests: one row each shows they are used, and what stands in when they fail.
TEST(PreferenceFromEntry, WritesOnlyTheThreeTypesWithDefaultsForUnreadableValues) {
  const std::pair<std::optional<PlistValue>, std::string> cases[] = {
      {std::nullopt, "(deleted)"}, {text("bool"), "(deleted)"}, {PlistValue{PlistDictionary{}}, "(deleted)"},
      {PlistValue{PlistDictionary{{"value", PlistValue{true}}}}, "(deleted)"},
      {entry(PlistValue{true}, PlistValue{true}), "(deleted)"}, {entry(text("Bool"), PlistValue{true}), "(deleted)"},
      {entry(text("bool "), PlistValue{true}), "(deleted)"}, {entry(text("integer"), text("1")), "(deleted)"},
      {entry(text("bool"), PlistValue{true}), "bool true"}, {entry(text("bool"), text("Yes")), "bool true"},
      {entry(text("bool"), text("on")), "bool false"}, {entry(text("bool")), "bool false"},
      {entry(text("number"), PlistValue{0.25}), "real 0.25"}, {entry(text("number"), text("1e-1")), "real 0.1"},
      {entry(text("number"), text("fast")), "real 0"}, {entry(text("number")), "real 0"},
      {entry(text("string"), text("left")), "string \"left\""},
      {entry(text("string"), PlistValue{PlistInteger{42}}), "string \"\""}, {entry(text("string")), "string \"\""},
  };
  int row = 0;
  for (const auto& [recorded, written] : cases) {
    EXPECT_EQ(FakePlatform::describe(preferenceFromEntry(recorded ? &*recorded : nullptr)), written) << "row " << row++;
  }
}

}  // namespace
