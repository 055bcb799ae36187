#include "platform/portable/preferences_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/portable/plist_reader.h"
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
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(scratch);
  }

  static void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  PlistDictionary readDomain() const {
    const auto value = readPropertyList(readFile(file));
    return value && value->is<PlistDictionary>() ? *value->get<PlistDictionary>()
                                                 : PlistDictionary{{"unreadable", true}};
  }
  static std::ptrdiff_t entryCount(const fs::path& directory) {
    return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
  }

  fs::path scratch, folder, file;
};

TEST_F(PreferencesStoreTest, KeepsUntouchedKeysWithTheirTypes) {
  writeFile(file, xmlPlist("<dict><key>big</key><integer>18446744073709551615</integer>"
                           "<key>real</key><real>0.25</real><key>yes</key><true/>"
                           "<key>text</key><string>left</string>"
                           "<key>when</key><date>2020-01-01T00:00:00Z</date><key>blob</key><data>AAE=</data>"
                           "<key>list</key><array><integer>-1</integer></array>"
                           "<key>inner</key><dict><key>k</key><false/></dict></dict>"));
  PreferencesStore store(folder);
  store.set(domain, "tilesize", 48.0);
  store.set(domain, "text", std::string("bottom"));
  ASSERT_TRUE(store.synchronize(domain));
  EXPECT_EQ(readDomain(), (PlistDictionary{{"big", PlistInteger{(PlistInt128{1} << 64) - 1}},
                                           {"real", 0.25},
                                           {"yes", true},
                                           {"text", std::string("bottom")},
                                           {"when", PlistDate{599529600}},
                                           {"blob", PlistData{0, 1}},
                                           {"list", PlistArray{PlistInteger{-1}}},
                                           {"inner", PlistDictionary{{"k", false}}},
                                           {"tilesize", 48.0}}));
}

TEST_F(PreferencesStoreTest, MergesIntoWhatIsOnDiskWhenSynchronizing) {
  PreferencesStore store(folder);
  store.set(domain, "a", 1.0);
  store.set(domain, "a", 1.5);
  store.set(domain, "gone", std::nullopt);
  writeFile(file, xmlPlist("<dict><key>gone</key><true/><key>theirs</key><string>x</string></dict>"));
  ASSERT_TRUE(store.synchronize(domain));
  EXPECT_EQ(readDomain(), (PlistDictionary{{"a", 1.5}, {"theirs", std::string("x")}}));

  store.set(domain, "a", std::nullopt);
  store.set(domain, "theirs", std::nullopt);
  ASSERT_TRUE(store.synchronize(domain));
  EXPECT_EQ(entryCount(folder), 0);
}

TEST_F(PreferencesStoreTest, RewritesABinaryDomainFileAsXml) {
  writeFile(file, fixture("typical.bplist"));
  PreferencesStore store(folder);
  store.set(domain, "orientation", std::string("left"));
  ASSERT_TRUE(store.synchronize(domain));
  auto expected = *readPropertyList(fixture("typical.xml"))->get<PlistDictionary>();
  expected["orientation"] = std::string("left");
  EXPECT_TRUE(readFile(file).starts_with("<?xml"));
  EXPECT_EQ(readDomain(), expected);
}

TEST_F(PreferencesStoreTest, WritesOnlyWhenTheContentChanges) {
  writeFile(file, fixture("typical.bplist"));
  PreferencesStore store(folder);
  store.set(domain, "sessionID", std::string("abc"));
  store.set(domain, "missing", std::nullopt);
  store.set("other", "missing", std::nullopt);
  EXPECT_TRUE(store.synchronize(domain));
  EXPECT_TRUE(store.synchronize("other"));
  EXPECT_TRUE(store.synchronize("nothing pending"));
  EXPECT_EQ(readFile(file), fixture("typical.bplist"));
  EXPECT_EQ(entryCount(folder), 1);

  PreferencesStore elsewhere(scratch / "new");
  elsewhere.set(domain, "missing", std::nullopt);
  EXPECT_TRUE(elsewhere.synchronize(domain));
  EXPECT_FALSE(fs::exists(scratch / "new"));
}

TEST_F(PreferencesStoreTest, NeverReplacesADomainFileItCannotUse) {
  for (const auto& bytes :
       {std::string(), std::string("bplist00junk"), xmlPlist("<array/>"), xmlPlist("<dict><key>a</key>")}) {
    SCOPED_TRACE(bytes);
    writeFile(file, bytes);
    PreferencesStore store(folder);
    store.set(domain, "k", true);
    EXPECT_FALSE(store.synchronize(domain));
    EXPECT_EQ(readFile(file), bytes);
    EXPECT_EQ(entryCount(folder), 1);
  }
  fs::resize_file(file, 17 << 20);
  PreferencesStore store(folder);
  store.set(domain, "k", true);
  EXPECT_FALSE(store.synchronize(domain));
  EXPECT_EQ(fs::file_size(file), 17u << 20);

  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(store.synchronize(domain));
  EXPECT_TRUE(fs::is_empty(file));

  // The change was kept, so it is applied once the way is clear.
  fs::remove(file);
  EXPECT_TRUE(store.synchronize(domain));
  EXPECT_EQ(readDomain(), (PlistDictionary{{"k", true}}));
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

// Makes a test running as root subject to file permissions, as everyone else is.
struct WithoutRootPrivileges {
  const bool wasRoot = ::geteuid() == 0;
  const bool active = !wasRoot || ::seteuid(65534) == 0;
  ~WithoutRootPrivileges() {
    if (wasRoot && active && ::seteuid(0) != 0) std::abort();
  }
};

TEST_F(PreferencesStoreTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  const std::string old = xmlPlist("<dict><key>k</key><false/></dict>");
  writeFile(file, old);
  PreferencesStore store(folder);
  store.set(domain, "k", std::string(8192, 'x'));

  // A file size limit makes the write stop part way, as a full disk does.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  const bool limited = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
  const bool stored = store.synchronize(domain);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  ASSERT_TRUE(limited);
  EXPECT_FALSE(stored);
  EXPECT_EQ(readFile(file), old);
  EXPECT_EQ(entryCount(folder), 1);

  using fs::perms;
  fs::permissions(scratch, perms::owner_all | perms::others_read | perms::others_exec);
  fs::permissions(file, perms::owner_read | perms::owner_write | perms::others_read);
  fs::permissions(folder, perms::owner_read | perms::owner_exec | perms::others_read | perms::others_exec);
  {
    const WithoutRootPrivileges unprivileged;
    if (!unprivileged.active) GTEST_SKIP() << "cannot give up root privileges";
    EXPECT_FALSE(store.synchronize(domain));
  }
  EXPECT_EQ(readFile(file), old);
  EXPECT_EQ(entryCount(folder), 1);
}

TEST_F(PreferencesStoreTest, CreatesPrivateFoldersAndFiles) {
  PreferencesStore store(scratch / "a" / "b");
  store.set(domain, "k", true);
  ASSERT_TRUE(store.synchronize(domain));
  EXPECT_EQ(fs::status(scratch / "a").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(scratch / "a" / "b").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(scratch / "a" / "b" / (domain + ".plist")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PreferencesStoreTest, ReplacesASymlinkedDomainFileAndLeavesItsTarget) {
  const std::string theirs = xmlPlist("<dict><key>theirs</key><true/></dict>");
  writeFile(scratch / "target.plist", theirs);
  fs::create_directory(folder);
  fs::create_symlink(scratch / "target.plist", file);
  PreferencesStore store(folder);
  store.set(domain, "k", false);
  ASSERT_TRUE(store.synchronize(domain));
  EXPECT_FALSE(fs::is_symlink(file));
  EXPECT_EQ(readDomain(), (PlistDictionary{{"k", false}, {"theirs", true}}));
  EXPECT_EQ(readFile(scratch / "target.plist"), theirs);
}

class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    set(value);
  }
  ~ScopedVariable() { set(saved_ ? saved_->c_str() : nullptr); }
  void set(const char* value) { value ? ::setenv(name_, value, 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(PreferencesStoreDefaultDirectory, PrefersXdgThenHomeThenThePasswordDatabase) {
  ScopedVariable xdg("XDG_CONFIG_HOME", "/xdg/config");
  ScopedVariable home("HOME", "/home/someone");
  EXPECT_EQ(PreferencesStore::defaultDirectory(), "/xdg/config");
  for (const char* unusable : {"relative/config", "/", "", static_cast<const char*>(nullptr)}) {
    xdg.set(unusable);
    EXPECT_EQ(PreferencesStore::defaultDirectory(), "/home/someone/.config");
  }
  home.set(nullptr);
  EXPECT_EQ(PreferencesStore::defaultDirectory(), std::string(::getpwuid(::getuid())->pw_dir) + "/.config");
}

}  // namespace
