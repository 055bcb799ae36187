// What every platform backend must do alike: the build's own backend, through
// makeSystemPlatform, against the same documents and the same preference changes.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "plist_text.h"
#include "stored_preferences.h"
#include "values/coercions.h"

namespace {

std::optional<PlistValue> parse(std::string_view bytes) { return makeSystemPlatform()->parsePropertyList(bytes); }

// A binary property list of hand-encoded `objects` (references one byte wide); the
// first is the top object.
std::string binaryPlist(const std::vector<std::string>& objects) {
  const auto bigEndian = [](std::string& out, std::uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out += static_cast<char>(value >> shift & 0xFF);
  };
  std::string out = "bplist00";
  std::vector<std::size_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const std::size_t table = out.size();
  for (const auto offset : offsets) bigEndian(out, offset, 2);
  out += std::string(6, '\0') + "\x02\x01";
  bigEndian(out, objects.size(), 8);
  bigEndian(out, 0, 8);
  bigEndian(out, table, 8);
  return out;
}

std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (const auto value : values) out += static_cast<char>(value);
  return out;
}

PlistValue text(const char* s) { return PlistValue{std::string(s)}; }
PlistValue integer(PlistInt128 v) { return PlistValue{PlistInteger{v}}; }

PlistValue entry(const char* type, std::optional<PlistValue> value = std::nullopt) {
  PlistDictionary fields{{"type", text(type)}};
  if (value) fields.emplace("value", *value);
  return PlistValue{std::move(fields)};
}

TEST(PlatformPropertyList, ReadsTheTypicalSnapshotInBothForms) {
  const PlistValue typical{PlistDictionary{
      {"active", PlistValue{true}},
      {"ownerPID", integer(812)},
      {"sessionID", text("abc")},
      {"extra", PlistValue{PlistArray{integer(1), integer(2)}}},
      {"snapshot", PlistValue{PlistDictionary{
                       {"orientation", entry("string", text("left"))},
                       {"autohide", entry("bool", PlistValue{false})},
                       {"autohide-delay", entry("number", PlistValue{0.25})},
                       {"autohide-time-modifier", entry("number", integer(1))},
                       {"no-bouncing", entry("bool", text("YES"))},
                       {"launchanim", entry("bool")},
                       {"unrelated", entry("string", text("ignored"))},
                   }}},
  }};
  EXPECT_EQ(parse(fixture("typical.xml")), typical);
  EXPECT_EQ(parse(fixture("typical.bplist")), typical);
}

TEST(PlatformPropertyList, ReadsEveryKindOfValue) {
  const PlistValue expected{PlistArray{
      PlistValue{true}, PlistValue{false}, integer(-1), integer(42), PlistValue{0.5},
      PlistValue{PlistDate{86401.0}}, PlistValue{PlistData{0x00, 0xFF}},
      text("a<&>\xC3\xA9\xF0\x9F\x98\x80"), text(""),
      PlistValue{PlistDictionary{{"a", PlistValue{PlistArray{}}}}}}};

  EXPECT_EQ(parse(xmlPlist("<array><true/><false/><integer>-1</integer><integer>42</integer><real>0.5</real>"
                           "<date>2001-01-02T00:00:01Z</date><data>AP8=</data>"
                           "<string>a&lt;&amp;&gt;&#233;\xF0\x9F\x98\x80</string><string></string>"
                           "<dict><key>a</key><array/></dict></array>")),
            expected);

  const std::string date = bytes({0x33, 0x40, 0xF5, 0x18, 0x10, 0, 0, 0, 0});  // 86401.0
  EXPECT_EQ(parse(binaryPlist({
                bytes({0xAA, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
                "\x09", "\x08", bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "\x10\x2A",
                bytes({0x23, 0x3F, 0xE0, 0, 0, 0, 0, 0, 0}), date, bytes({0x42, 0x00, 0xFF}),
                bytes({0x67, 0, 'a', 0, '<', 0, '&', 0, '>', 0, 0xE9, 0xD8, 0x3D, 0xDE, 0x00}), "\x50",
                bytes({0xD1, 11, 12}), "\x51" "a", "\xA0",
            })),
            expected);
}

TEST(PlatformPropertyList, ReplacesUnpairedSurrogatesInBinaryText) {
  EXPECT_EQ(parse(binaryPlist({bytes({0x63, 0, 'a', 0xD8, 0x00, 0, 'b'})})), text("a\xEF\xBF\xBD" "b"));
}

TEST(PlatformPropertyList, KeepsIntegersPast64BitsPositiveAndOutOfRange) {
  const std::string largest64Unsigned[] = {
      xmlPlist("<integer>18446744073709551615</integer>"),
      binaryPlist({bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}),
  };
  for (const auto& document : largest64Unsigned) {
    const auto value = parse(document);
    ASSERT_TRUE(value && value->is<PlistInteger>());
    EXPECT_EQ(integerFromValue(&*value), std::nullopt);
    EXPECT_EQ(doubleFromValue(&*value), 0x1p64);
  }
}

TEST(PlatformPropertyList, ReadsContainersNestedToTheLimitAndNoDeeper) {
  const auto nested = [](int depth) {
    std::string body;
    for (int i = 0; i < depth; ++i) body += "<array>";
    for (int i = 0; i < depth; ++i) body += "</array>";
    return xmlPlist(body);
  };
  EXPECT_TRUE(parse(nested(maxPlistDepth)));
  EXPECT_FALSE(parse(nested(maxPlistDepth + 1)));
}

TEST(PlatformPropertyList, RefusesWhatIsNoXmlOrBinaryPropertyList) {
  // Forty arrays, each holding the next one twice: 2^40 values once copied out.
  std::vector<std::string> fanOut;
  for (unsigned i = 1; i <= 40; ++i) fanOut.push_back(bytes({0xA2, i, i}));
  fanOut.emplace_back("\x09");

  const std::string documents[] = {
      "",
      "plain text",
      "{ key = value; }",
      xmlPlist("<dict><key>a</key></dict>"),
      xmlPlist("<dict><integer>1</integer><string>a</string></dict>"),
      binaryPlist({bytes({0xD1, 1, 2}), "\x10\x01", "\x51" "a"}),  // a key that is a number
      binaryPlist({bytes({0xA1, 0})}),                              // an array holding itself
      binaryPlist(fanOut),
      fixture("typical.bplist").substr(0, 100),
  };
  for (const auto& document : documents) EXPECT_EQ(parse(document), std::nullopt) << document;
}

// Each test writes its own domain inside a scratch configuration folder; the folder is
// made once per process, since a store may read its location only once.
class PlatformPreferences : public ::testing::Test {
 protected:
  void SetUp() override {
    static const ScratchConfiguration scratch;
    platform_ = makeSystemPlatform();
    domain_ = std::string("org.dock-restore-agent.contract-test.") +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override {
    for (const auto& key : keys_) platform_->setPreference(domain_, key, std::nullopt);
    platform_->synchronizePreferences(domain_);
  }

  void set(const std::string& key, std::optional<PreferenceValue> value) {
    keys_.insert(key);
    platform_->setPreference(domain_, key, value);
  }
  bool synchronize() { return platform_->synchronizePreferences(domain_); }
  std::optional<PlistValue> stored(const std::string& key) { return storedPreference(domain_, key); }

 private:
  struct ScratchConfiguration {
    std::string path = (std::filesystem::temp_directory_path() / "platform-contract-XXXXXX").string();
    ScratchConfiguration() {
      if (mkdtemp(path.data()) == nullptr) throw std::filesystem::filesystem_error("mkdtemp", std::error_code());
      setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    }
    ~ScratchConfiguration() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };

  std::unique_ptr<Platform> platform_;
  std::string domain_;
  std::set<std::string> keys_;
};

TEST_F(PlatformPreferences, WritesEachKindOfValueWithItsOwnType) {
  set("on", true);
  set("off", false);
  set("real", 0.25);
  set("whole", 1.0);
  set("text", std::string("left"));
  set("unicode", std::string("Gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x9A\x80"));
  set("empty", std::string());
  EXPECT_TRUE(synchronize());

  EXPECT_EQ(stored("on"), PlistValue{true});
  EXPECT_EQ(stored("off"), PlistValue{false});
  EXPECT_EQ(stored("real"), PlistValue{0.25});
  EXPECT_EQ(stored("whole"), PlistValue{1.0});  // a real, never an integer
  EXPECT_EQ(stored("text"), text("left"));
  EXPECT_EQ(stored("unicode"), text("Gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x9A\x80"));
  EXPECT_EQ(stored("empty"), text(""));
}

TEST_F(PlatformPreferences, DeletesOnlyTheKeysAskedFor) {
  set("gone", std::string("x"));
  set("kept", std::string("y"));
  synchronize();
  set("gone", std::nullopt);
  set("never-there", std::nullopt);
  EXPECT_TRUE(synchronize());

  EXPECT_EQ(stored("gone"), std::nullopt);
  EXPECT_EQ(stored("never-there"), std::nullopt);
  EXPECT_EQ(stored("kept"), text("y"));
}

TEST_F(PlatformPreferences, TextThatIsNotUtf8DeletesTheKey) {
  set("label", std::string("before"));
  synchronize();
  set("label", std::string("bad \xC3\x28"));
  synchronize();

  EXPECT_EQ(stored("label"), std::nullopt);
}

}  // namespace
