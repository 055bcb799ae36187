#include "snapshot/snapshot.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "plist_text.h"

namespace {

std::optional<SnapshotRecord> readFrom(const std::string& bytes) {
  FakePlatform platform;
  platform.files["/s.plist"] = bytes;
  return readSnapshot(platform, "/s.plist");
}

std::optional<SnapshotRecord> readEntries(const std::string& entries) {
  return readFrom(snapshotPlist(entries));
}

const std::string emptySettings = "<key>snapshot</key><dict/>";

TEST(ReadSnapshot, ReadsAWellFormedFile) {
  const auto record = readEntries(emptySettings +
                                  "<key>active</key><true/><key>ownerPID</key><integer>812</integer>"
                                  "<key>sessionID</key><string>abc</string><key>other</key><date>2020-01-01T00:00:00Z</date>");
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (SnapshotRecord{true, 812, "abc", {}}));
}

TEST(ReadSnapshot, XmlAndBinaryFilesGiveTheSameRecord) {
  const auto fromXml = readFrom(fixture("typical.xml"));
  const auto fromBinary = readFrom(fixture("typical.bplist"));
  ASSERT_TRUE(fromXml);
  EXPECT_EQ(fromXml, fromBinary);
  EXPECT_EQ(fromXml->ownerPID, 812);
  EXPECT_EQ(fromXml->settings.size(), 7u);
}

TEST(ReadSnapshot, NoRecordWithoutASnapshotDictionary) {
  const std::string rest = "<key>active</key><true/><key>ownerPID</key><integer>812</integer>"
                           "<key>sessionID</key><string>abc</string>";
  EXPECT_FALSE(readEntries(rest));
  EXPECT_FALSE(readEntries(rest + "<key>snapshot</key><string>x</string>"));
  EXPECT_FALSE(readEntries(rest + "<key>snapshot</key><array/>"));
  EXPECT_FALSE(readEntries(rest + "<key>Snapshot</key><dict/>"));
  EXPECT_FALSE(readFrom(xmlPlist("<array><dict>" + emptySettings + "</dict></array>")));
  EXPECT_FALSE(readFrom(""));
  EXPECT_FALSE(readFrom(snapshotPlist(emptySettings).substr(0, 60)));
  FakePlatform platform;
  EXPECT_FALSE(readSnapshot(platform, "/missing"));
}

TEST(ReadSnapshot, LenientFieldsFallBackToDefaults) {
  struct Case {
    std::string entries;
    bool active;
    std::int32_t pid;
    std::string session;
  };
  const Case cases[] = {
      {"", false, 0, ""},
      {"<key>active</key><string>YES</string>", true, 0, ""},
      {"<key>active</key><integer>1</integer>", true, 0, ""},
      {"<key>active</key><real>0.0</real>", false, 0, ""},
      {"<key>active</key><string>on</string>", false, 0, ""},
      {"<key>ownerPID</key><string>812</string>", false, 812, ""},
      {"<key>ownerPID</key><real>812.9</real>", false, 812, ""},
      {"<key>ownerPID</key><string> 812</string>", false, 0, ""},
      {"<key>ownerPID</key><string>12a</string>", false, 0, ""},
      // Outside the 32-bit range no process can match: the default, not a wrapped value.
      {"<key>ownerPID</key><integer>4294967297</integer>", false, 0, ""},
      {"<key>ownerPID</key><integer>-2147483648</integer>", false, -2147483648, ""},
      {"<key>ownerPID</key><integer>18446744073709551615</integer>", false, 0, ""},
      {"<key>ownerPID</key><real>nan</real>", false, 0, ""},
      {"<key>ownerPID</key><real>1e300</real>", false, 0, ""},
      {"<key>sessionID</key><integer>42</integer>", false, 0, ""},
      {"<key>sessionID</key><string> Mixed Case </string>", false, 0, " Mixed Case "},
  };
  for (const auto& c : cases) {
    const auto record = readEntries(emptySettings + c.entries);
    ASSERT_TRUE(record) << c.entries;
    EXPECT_EQ(record->active, c.active) << c.entries;
    EXPECT_EQ(record->ownerPID, c.pid) << c.entries;
    EXPECT_EQ(record->sessionID, c.session) << c.entries;
  }
}

TEST(ReadSnapshot, SettingsAreTakenUnchanged) {
  const auto record = readEntries(
      "<key>snapshot</key><dict><key>autohide</key><string>odd</string>"
      "<key>x</key><dict><key>type</key><integer>3</integer></dict></dict>");
  ASSERT_TRUE(record);
  ASSERT_EQ(record->settings.size(), 2u);
  EXPECT_EQ(record->settings.at("autohide"), PlistValue{std::string("odd")});
}

}  // namespace
