// What every platform backend must do alike: the build's own backend, through
// makeSystemPlatform, against the same documents and the same preference changes; and
// the decisions about values crossing into or out of a native store, tested in every build.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <system_error>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/native_values.h"
#include "platform/owner_platform.h"
#include "platform/platform.h"
#include "plist_text.h"
#include "stored_preferences.h"
#include "values/coercions.h"

#if defined(__linux__)
// The file system calls that make a write outlive a power cut, recorded while a test
// asks: what the platform flushes, and when, is part of what it promises. (macOS flushes
// through fcntl, and names no descriptor's path in /proc.)
namespace {
std::vector<std::pair<std::string, std::string>>* fileSystemCalls = nullptr;  // call, canonical path

void record(const char* call, const std::string& path) {
  if (fileSystemCalls == nullptr) return;
  // The folder made canonical, not a link in it.
  const std::filesystem::path named(path);
  std::error_code ignored;
  fileSystemCalls->emplace_back(
      call, (std::filesystem::weakly_canonical(named.parent_path(), ignored) / named.filename()).string());
}

const char* const startingConfigHome = std::getenv("XDG_CONFIG_HOME");

template <typename Function>
Function* next(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
  record("flush", std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
  return next<int(int)>("fsync")(fd);
}
extern "C" int rename(const char* from, const char* to) noexcept {
  record("renamed from", from);
  record("renamed to", to);
  return next<int(const char*, const char*)>("rename")(from, to);
}
extern "C" int symlink(const char* target, const char* link) noexcept {
  record("linked", link);
  return next<int(const char*, const char*)>("symlink")(target, link);
}
extern "C" int unlink(const char* path) noexcept {
  record("unlinked", path);
  return next<int(const char*)>("unlink")(path);
}
#endif

namespace {

using namespace std::string_literals;

std::optional<PlistValue> parse(std::string_view bytes) { return makeSystemPlatform()->parsePropertyList(bytes); }

PlistValue text(const char* s) { return PlistValue{std::string(s)}; }
PlistValue integer(PlistInt128 v) { return PlistValue{PlistInteger{v}}; }

// Each kind as XML; binary files differ only in how they are stored, which the
// backend's own reader handles, except for UTF-16 text and wide integers below.
TEST(PlatformPropertyList, ReadsEveryKindOfValue) {
  EXPECT_EQ(parse(xmlPlist("<array><true/><false/><integer>-1</integer><integer>42</integer><real>0.5</real>"
                           "<date>2001-01-02T00:00:01Z</date><data>AP8=</data>"
                           "<string>a&lt;&amp;&gt;&#233;\xF0\x9F\x98\x80</string><string></string>"
                           "<dict><key>a</key><array/></dict></array>")),
            (PlistValue{PlistArray{PlistValue{true}, PlistValue{false}, integer(-1), integer(42), PlistValue{0.5},
                                   PlistValue{PlistDate{86401.0}}, PlistValue{PlistData{0x00, 0xFF}},
                                   text("a<&>\xC3\xA9\xF0\x9F\x98\x80"), text(""),
                                   PlistValue{PlistDictionary{{"a", PlistValue{PlistArray{}}}}}}}));
}

TEST(PlatformPropertyList, ReadsBinaryTextAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(parse(binaryPlist({"\x65\0\xE9\xD8\x3D\xDE\0\xD8\0\0b"s})),
            text("\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD" "b"));
}

TEST(PlatformPropertyList, KeepsIntegersPast64BitsPositiveAndOutOfRange) {
  for (const auto& document : {xmlPlist("<integer>18446744073709551615</integer>"),
                               binaryPlist({"\x14"s + std::string(8, '\0') + std::string(8, '\xFF')})}) {
    const auto value = parse(document);
    ASSERT_TRUE(value && value->is<PlistInteger>());
    EXPECT_EQ(integerFromValue(&*value), std::nullopt);
    EXPECT_EQ(doubleFromValue(&*value), 0x1p64);
  }
}

TEST(PlatformPropertyList, ReadsOpenStepTextAsStrings) {
  EXPECT_EQ(parse("{ ownerPID = 812; list = (YES, \"a b\", <00ff>); } // saved"),
            (PlistValue{PlistDictionary{{"ownerPID", text("812")},
                                        {"list", PlistValue{PlistArray{text("YES"), text("a b"),
                                                                       PlistValue{PlistData{0x00, 0xFF}}}}}}}));
}

TEST(PlatformPropertyList, ReadsContainersNestedToTheLimitAndNoDeeper) {
  std::string open, close;
  for (int i = 0; i < maxPlistDepth; ++i) open += "<array>", close += "</array>";
  EXPECT_TRUE(parse(xmlPlist(open + close)));
  EXPECT_FALSE(parse(xmlPlist(open + "<array/>" + close)));
}

TEST(PlatformPropertyList, RefusesWhatIsNoPropertyList) {
  // Forty arrays, each holding the next one twice: 2^40 values once copied out.
  std::vector<std::string> fanOut;
  for (unsigned i = 1; i <= 40; ++i) fanOut.push_back({'\xA2', static_cast<char>(i), static_cast<char>(i)});
  fanOut.emplace_back("\x09");

  const std::string documents[] = {
      "", "plain text", "{ key = value }", xmlPlist("<dict><key>a</key></dict>"),
      binaryPlist({"\xD1\x01\x02", "\x10\x01", "\x51" "a"}),  // a key that is a number
      binaryPlist({"\xA1\0"s}),                              // an array holding itself
      binaryPlist(fanOut), fixture("typical.bplist").substr(0, 100),
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
  // A whole number stays a real, never an integer.
  const std::pair<std::string, PreferenceValue> values[] = {
      {"on", true}, {"off", false}, {"real", 0.25}, {"whole", 1.0}, {"text", std::string("left")},
      {"unicode", std::string("Gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x9A\x80")}, {"empty", std::string()}};
  for (const auto& [key, value] : values) set(key, value);
  EXPECT_TRUE(synchronize());
  for (const auto& [key, value] : values) EXPECT_EQ(stored(key), std::visit([](auto v) { return PlistValue{v}; }, value)) << key;
}

TEST_F(PlatformPreferences, DeletesOnlyTheKeysAskedForAndTextThatIsNotUtf8) {
  // Text that is not UTF-8 has no native form: its key is deleted rather than altered.
  // Overlong, a surrogate, past U+10FFFF, cut off, a stray continuation byte, not UTF-8 at all.
  const std::string bad[] = {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok\xC3", "\x80", "bad \xC3\x28"};
  set("gone", std::string("x"));
  set("kept", std::string("y"));
  set("bad0", std::string("before"));
  EXPECT_TRUE(synchronize());
  set("gone", std::nullopt);
  set("never-there", std::nullopt);
  for (std::size_t i = 0; i < std::size(bad); ++i) set("bad" + std::to_string(i), bad[i]);
  EXPECT_TRUE(synchronize());
  for (const char* key : {"gone", "never-there"}) EXPECT_EQ(stored(key), std::nullopt) << key;
  for (std::size_t i = 0; i < std::size(bad); ++i) EXPECT_EQ(stored("bad" + std::to_string(i)), std::nullopt) << i;
  EXPECT_EQ(stored("kept"), text("y"));
}

#if defined(__linux__)
// Each change is on stable storage before the call that made it returns, in an order a
// power cut cannot undo: a file's bytes are flushed before it is renamed into place, and
// a folder after each entry made, renamed into it or removed from it, before the call
// returns. The snapshot, its registry entry, its removal and a synchronized preference
// domain alike.
TEST_F(PlatformPreferences, FlushesEachChangeBeforeItCounts) {
  namespace fs = std::filesystem;
  // CoreFoundation took its folder from the environment the process started with.
  const auto synchronizeWhereCoreFoundationLooks = [&] {
    const std::string scratchFolder = std::getenv("XDG_CONFIG_HOME");
    startingConfigHome != nullptr ? setenv("XDG_CONFIG_HOME", startingConfigHome, 1) : unsetenv("XDG_CONFIG_HOME");
    const bool stored = synchronize();
    setenv("XDG_CONFIG_HOME", scratchFolder.c_str(), 1);
    return stored;
  };
  const fs::path scratch = fs::weakly_canonical(fs::temp_directory_path()) / ("flushes-" + std::to_string(::getpid()));
  fs::create_directory(scratch);
  const std::string snapshot = (scratch / "snapshot.plist").string();
  const auto owner = makeOwnerPlatform();
  std::vector<std::pair<std::string, std::string>> calls;
  fileSystemCalls = &calls;
  const std::function<bool()> steps[] = {
      [&] { return owner->writeFileAtomically(snapshot, "bytes") == 0; },
      [&] { return owner->lockSessionRegistry() && owner->registerSnapshot(snapshot); },
      [&] { return owner->unregisterSnapshot(snapshot), true; },
      [&] { return owner->removeFile(snapshot); },
      [&] { return set("key", true), synchronizeWhereCoreFoundationLooks(); }};
  for (const auto& step : steps) {
    EXPECT_TRUE(step());
    calls.emplace_back("returned", "");
  }
  fileSystemCalls = nullptr;
  owner->unlockSessionRegistry();
  fs::remove_all(scratch);

  const auto flushed = [](auto from, auto to, const fs::path& path) {
    return std::find(from, to, std::pair("flush"s, path.string())) != to;
  };
  std::set<std::string> changed;
  for (auto at = calls.begin(); at != calls.end(); ++at) {
    const auto& [call, path] = *at;
    if (call == "flush" || call == "returned") continue;
    changed.insert(call);
    const auto returned = std::find(at, calls.end(), std::pair("returned"s, ""s));
    EXPECT_TRUE(call == "renamed from" ? flushed(calls.begin(), at, path)
                                       : flushed(at, returned, fs::path(path).parent_path()))
        << call << " " << path;
  }
  EXPECT_EQ(changed, (std::set<std::string>{"linked", "renamed from", "renamed to", "unlinked"}));
  // The domain's file itself, however the store wrote it: in place, or renamed into place.
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const auto& call) {
    return call.first == "flush" && call.second.find("FlushesEachChangeBeforeItCounts.plist") != std::string::npos;
  }));
}
#endif

TEST(PlatformFiles, RemovesAFileOrALinkButNeverADirectory) {
  namespace fs = std::filesystem;
  std::string scratch = (fs::temp_directory_path() / "platform-files-XXXXXX").string();
  ASSERT_NE(mkdtemp(scratch.data()), nullptr);
  const fs::path folder = fs::path(scratch) / "snapshot.plist", link = fs::path(scratch) / "link";
  fs::create_directory(folder);  // empty: not even that is removed
  fs::create_symlink(folder, link);
  const auto platform = makeSystemPlatform();

  EXPECT_FALSE(platform->removeFile(folder.string()));
  EXPECT_TRUE(platform->removeFile(link.string()));  // the link, not what it points to
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  fs::remove_all(scratch);
}

// The owner may run as another user, whom the probe may not signal: alive all the same.
TEST(PlatformProcesses, AProcessOfAnotherUserIsAlive) {
  namespace fs = std::filesystem;
  const auto platform = makeSystemPlatform();
  if (::geteuid() != 0) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      struct stat status {};
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos || ::stat(entry.path().c_str(), &status) != 0 ||
          status.st_uid == ::geteuid()) {
        continue;
      }
      EXPECT_EQ(platform->probeProcess(std::stoi(name)), ProcessState::alive) << name;
      return;
    }
    GTEST_SKIP() << "no process of another user in sight";
  }
  // Root may signal anyone: the probe is made as another user, of this process.
  const int parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(platform->probeProcess(parent) == ProcessState::alive ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
