// The portable store's own behaviour on disk. What set, delete and synchronize leave
// for each kind of value is the platform contract's; store faults with the real agent
// (read-only folder, full disk, a directory or a link as the domain file) are the
// end-to-end tests'.

#include "platform/portable/preferences_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include <pwd.h>
#include <unistd.h>

#include "platform/portable/plist_reader.h"
#include "platform/portable/plist_writer.h"
#include "plist_text.h"

namespace fs = std::filesystem;

namespace {

const std::string domain = "com.apple.dock";

class PreferencesStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/preferences-store-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch = pattern;
    folder = scratch / "prefs";
    file = folder / (domain + ".plist");
  }
  void TearDown() override { fs::remove_all(scratch); }

  static void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::optional<PlistValue> readDomain() const { return readPropertyList(fileBytes(file)); }
  static std::ptrdiff_t entryCount(const fs::path& directory) {
    return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
  }

  fs::path scratch, folder, file;
};

// Changes merge into the file as it is when synchronizing. Every other key stays exactly as
// it was, and so does the file's format, unless XML text cannot hold a value.
TEST_F(PreferencesStoreTest, KeepsEveryKeyItDoesNotOwnExactly) {
  // Markup, white space and text beyond ASCII (an emoji takes two UTF-16 units), numbers at
  // the edges of XML's range, whole-second dates, data and containers large enough for
  // wider counts, references and offsets.
  const std::string text = " tab\tline\ncr\r\ncaf\xC3\xA9 \xF0\x9F\x9A\x80 ]]> &amp; <&>";
  const PlistInt128 two63 = PlistInt128{1} << 63;
  const PlistDictionary plain{
      {"orientation", std::string("bottom")}, {"extra", true}, {"many", PlistArray(300, PlistValue{PlistInteger{255}})},
      {text, PlistArray{text, "", 0.1, 1e300, 5e-324, -0.0, -std::numeric_limits<double>::infinity(), false,
                        PlistInteger{-two63}, PlistInteger{2 * two63 - 1}, PlistInteger{70000}, PlistDate{-3e10},
                        PlistData{}, PlistData(70000, 7), PlistArray{}, PlistDictionary{}}}};
  PlistDictionary odd = plain;
  odd.insert({{"label", std::string("le\x01" "ft")}, {"when", PlistDate{0.25}}, {"icon", PlistData{0, 1, 2}}});
  // The file as it was, the text the agent writes, and whether the file is binary after.
  const std::tuple<std::string, std::string, bool> cases[] = {
      {writeBinaryPropertyList(odd), "left", true},
      {writeBinaryPropertyList(plain), "left", true},
      {*writeXmlPropertyList(plain), "left", false},
      {*writeXmlPropertyList(plain), "le\x01" "ft", true},
  };
  for (const auto& [before, orientation, binary] : cases) {
    PreferencesStore store(folder);
    store.set(domain, "autohide", 1.0);
    store.set(domain, "autohide", true);
    store.set(domain, "autohide-delay", 0.5);
    store.set(domain, "orientation", orientation);
    store.set(domain, "extra", std::nullopt);
    writeFile(file, before);
    ASSERT_TRUE(store.synchronize(domain));
    auto expected = *readPropertyList(before)->get<PlistDictionary>();
    expected["autohide"] = true;
    expected["autohide-delay"] = 0.5;
    expected["orientation"] = orientation;
    expected.erase("extra");
    EXPECT_EQ(fileBytes(file).starts_with("bplist00"), binary) << orientation;
    EXPECT_EQ(readDomain(), PlistValue{expected}) << orientation;
  }

  // An empty domain is no file at all.
  PreferencesStore store(folder);
  const auto written = readDomain();
  for (const auto& [key, value] : *written->get<PlistDictionary>()) store.set(domain, key, std::nullopt);
  ASSERT_TRUE(store.synchronize(domain));
  EXPECT_EQ(entryCount(folder), 0);
}

TEST_F(PreferencesStoreTest, WritesOnlyWhenTheContentChangesAndPrivately) {
  writeFile(file, fixture("typical.bplist"));
  PreferencesStore store(folder);
  store.set(domain, "sessionID", std::string("abc"));
  store.set(domain, "missing", std::nullopt);
  EXPECT_TRUE(store.synchronize(domain));
  EXPECT_TRUE(store.synchronize("nothing pending"));
  EXPECT_EQ(fileBytes(file), fixture("typical.bplist"));
  EXPECT_EQ(entryCount(folder), 1);

  PreferencesStore elsewhere(scratch / "a" / "b");
  elsewhere.set(domain, "missing", std::nullopt);
  EXPECT_TRUE(elsewhere.synchronize(domain));
  EXPECT_FALSE(fs::exists(scratch / "a"));

  // A change makes the folders and the file, each private to the user.
  elsewhere.set(domain, "k", true);
  ASSERT_TRUE(elsewhere.synchronize(domain));
  EXPECT_EQ(fs::status(scratch / "a").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(scratch / "a" / "b").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(scratch / "a" / "b" / (domain + ".plist")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PreferencesStoreTest, NeverReplacesADomainFileItCannotUseAndRetriesLater) {
  PreferencesStore store(folder);
  store.set(domain, "k", true);
  for (const auto& bytes : {std::string(), std::string("bplist00junk"), xmlPlist("<array/>"),
                            xmlPlist("<dict><key>a</key>"), xmlPlist("<dict>" + std::string(17 << 20, ' ') + "</dict>")}) {
    writeFile(file, bytes);
    EXPECT_FALSE(store.synchronize(domain)) << bytes.substr(0, 40);
    EXPECT_EQ(fileBytes(file), bytes);
    EXPECT_EQ(entryCount(folder), 1);
  }
  // The change was kept, so it is applied once the way is clear.
  fs::remove(file);
  EXPECT_TRUE(store.synchronize(domain));
  EXPECT_EQ(readDomain(), PlistValue(PlistDictionary{{"k", true}}));
}

TEST_F(PreferencesStoreTest, RefusesDomainNamesThatLeaveTheFolder) {
  PreferencesStore store(folder);
  const std::string names[] = {"", ".", "..", "../escape", "a/b", "/tmp/x", std::string("a\0b", 3)};
  for (const auto& name : names) {
    store.set(name, "k", true);
    EXPECT_FALSE(store.synchronize(name)) << name;
  }
  EXPECT_EQ(entryCount(scratch), 0);
}

// Sets or unsets an environment variable until the end of the scope.
struct ScopedVariable {
  const char* name;
  const std::optional<std::string> saved = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
  void set(const char* value) const { value ? ::setenv(name, value, 1) : ::unsetenv(name); }
  ~ScopedVariable() { set(saved ? saved->c_str() : nullptr); }
};

TEST(PreferencesStoreDefaultDirectory, PrefersXdgThenHomeThenThePasswordDatabase) {
  const ScopedVariable xdg{"XDG_CONFIG_HOME"}, home{"HOME"};
  xdg.set("/xdg/config");
  home.set("/home/someone");
  EXPECT_EQ(PreferencesStore::defaultDirectory(), "/xdg/config");
  for (const char* unusable : {"relative/config", "/", "", static_cast<const char*>(nullptr)}) {
    xdg.set(unusable);
    EXPECT_EQ(PreferencesStore::defaultDirectory(), "/home/someone/.config");
  }
  home.set(nullptr);
  EXPECT_EQ(PreferencesStore::defaultDirectory(), std::string(::getpwuid(::getuid())->pw_dir) + "/.config");
}

}  // namespace
