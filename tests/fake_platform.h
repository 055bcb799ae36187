#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/owner_platform.h"
#include "platform/platform.h"
#include "platform/portable/plist_reader.h"
#include "platform/portable/plist_writer.h"

// A platform in memory that records every call but reads, in order, as one line of
// text, so a test can check what the agent did and in which sequence.
class FakePlatform : public OwnerPlatform {
 public:
  std::map<std::string, std::string> files;  // path -> bytes
  ProcessState probeAnswer = ProcessState::alive;
  int exitSeenAtWait = 0;  // the wait, counted from 1, that sees the owner's exit; 0: none
  Wake otherWaits = Wake::snapshotChanged;  // what the other waits end with
  int waits = 0;
  // Runs before each read, numbered from 0; lets a test change the files between reads.
  std::function<void(int readNumber)> beforeRead;
  int reads = 0;
  // What synchronizing and launching answer; the agent must carry on either way.
  bool stepsSucceed = true;
  std::vector<std::string> calls;

  std::optional<std::string> readFile(const std::string& path) override {
    if (beforeRead) beforeRead(reads);
    ++reads;
    const auto it = files.find(path);
    return it == files.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<PlistValue> parsePropertyList(std::string_view bytes) override {
    return readPropertyList(bytes);
  }
  std::string whyUnreadable(const std::string& path) override {
    return files.contains(path) ? "" : "there is no file there";
  }
  std::string whyUnparsable(std::string_view bytes) override { return describePropertyListFailure(bytes); }
  void setPreference(const std::string& domain, const std::string& key,
                     const std::optional<PreferenceValue>& value) override {
    calls.push_back("set " + domain + " " + key + " = " + describe(value));
    if (value) {
      preferences.insert_or_assign(domain + " " + key, plistValueOf(*value));
    } else {
      preferences.erase(domain + " " + key);
    }
    unsynchronized.insert_or_assign(domain + " " + key, value);
  }
  bool synchronizePreferences(const std::string& domain) override {
    calls.push_back("sync " + domain);
    const bool stored = stepsSucceed && domain != failingDomain;
    for (auto it = unsynchronized.begin(); stored && it != unsynchronized.end();) {
      if (!it->first.starts_with(domain + " ")) {
        ++it;
        continue;
      }
      journal.push_back({"preferences", true, [name = it->first, value = it->second](FakePlatform& disk) {
                           disk.setPreference(name.substr(0, name.find(' ')), name.substr(name.find(' ') + 1), value);
                         }});
      it = unsynchronized.erase(it);
    }
    return stored;
  }
  ProcessState probeProcess(int pid) override {
    calls.push_back("probe " + std::to_string(pid));
    return probeAnswer;
  }
  void startWatch(int pid, const std::string&) override { calls.push_back("watch " + std::to_string(pid)); }
  Wake waitForChange(double fallbackSeconds, double limitSeconds) override {
    calls.push_back("wait " + number(fallbackSeconds) +
                    (std::isinf(limitSeconds) ? "" : " up to " + number(limitSeconds)));
    // A watch that never ends fails the test rather than hanging it.
    if (++waits > 100) throw std::runtime_error("still watching after 100 waits");
    return waits == exitSeenAtWait ? Wake::ownerExited : otherWaits;
  }
  void detachFromTerminal() override { calls.push_back("detach"); }
  bool launch(const std::string& executable, const std::vector<std::string>& arguments) override {
    std::string line = "launch " + executable;
    for (const auto& argument : arguments) line += " [" + argument + "]";
    calls.push_back(line);
    return stepsSucceed;
  }
  bool removeFile(const std::string& path) override {
    calls.push_back("remove " + path);
    if (files.erase(path) == 0) return false;
    journal.push_back({folderOf(path), true, [path](FakePlatform& disk) { disk.files.erase(path); }});
    return true;
  }
  std::string currentDirectory() override { return "/work"; }

  // The owner library's side: preferences kept in `preferences` ("domain key"), files
  // written into `files`, processes that run in `started` (PID -> start time); this
  // process is 4242 and every child it starts is 900, unless `startAnswer` says else.
  std::map<std::string, PlistValue> preferences;
  bool agentExecutable = true;
  int startAnswer = 900;
  std::string failingDomain;  // a domain whose synchronize fails
  bool dockReadable = true;
  std::map<int, std::int64_t> started{{4242, 1000}};
  std::vector<std::string> registry;  // registered snapshot paths

  std::optional<PlistValue> readPreference(const std::string& domain, const std::string& key) override {
    const auto it = preferences.find(domain + " " + key);
    return it == preferences.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<std::string> serializePropertyList(const PlistValue& value) override { return writeXmlPropertyList(value); }
  int writeFileAtomically(const std::string& path, const std::string& bytes) override {
    calls.push_back("write " + path);
    files[path] = bytes;
    journal.push_back({folderOf(path), true, [path, bytes](FakePlatform& disk) { disk.files[path] = bytes; }});
    return 0;
  }
  bool isExecutableFile(const std::string&) override { return agentExecutable; }
  int startDetached(const std::string& executable, const std::vector<std::string>& arguments) override {
    launch(executable, arguments);
    calls.back().replace(0, 6, "start");
    if (startAnswer > 0) started[startAnswer] = 5000;
    return startAnswer;
  }
  std::optional<std::int64_t> processStartTime(int pid) override {
    const auto it = started.find(pid);
    return it == started.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<std::string> executablePath(int) override { return "/Applications/Owner"; }
  bool domainReadable(const std::string&) override { return dockReadable; }
  RegistryAccess registryAccess = RegistryAccess::locked;  // what either lock finds
  bool lockSessionRegistry() override { return registryAccess == RegistryAccess::locked; }
  RegistryAccess lockExistingSessionRegistry(double) override { return registryAccess; }
  void unlockSessionRegistry() override {}
  std::vector<std::string> registeredSnapshots() override { return registry; }
  bool registerSnapshot(const std::string& path) override {
    if (std::ranges::find(registry, path) != registry.end()) return true;
    calls.push_back("register " + path);
    registry.push_back(path);
    journal.push_back({"registry", true, [path](FakePlatform& disk) { disk.registry.push_back(path); }});
    return true;
  }
  void unregisterSnapshot(const std::string& path) override {
    if (std::erase(registry, path) == 0) return;
    calls.push_back("unregister " + path);
    journal.push_back({"registry", true, [path](FakePlatform& disk) { std::erase(disk.registry, path); }});
  }
  int processId() override { return 4242; }
  bool randomBytes(std::span<std::uint8_t> bytes) override {
    std::ranges::fill(bytes, nextRandomByte++);  // a new session ID each time
    return true;
  }
  std::uint8_t nextRandomByte = 7;

  // What reaches the disk, in order, for tests of power cuts: each file written or
  // removed, registry entry, and preference synchronized. `durable` is what the platform
  // promises for the call once it returns; a later durable change in the same folder
  // makes the earlier ones durable too.
  struct DiskWrite {
    std::string folder;
    bool durable;
    std::function<void(FakePlatform&)> apply;  // to a platform that holds the disk's state
  };
  std::vector<DiskWrite> journal;
  std::map<std::string, std::optional<PreferenceValue>> unsynchronized;  // "domain key" -> value

  static std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

  static std::string number(double d) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, d).ptr);
  }

  static std::string describe(const std::optional<PreferenceValue>& value) {
    if (!value) return "(deleted)";
    if (const auto* b = std::get_if<bool>(&*value)) return *b ? "bool true" : "bool false";
    if (const auto* d = std::get_if<double>(&*value)) return "real " + number(*d);
    return "string \"" + std::get<std::string>(*value) + "\"";
  }
};
