#pragma once

#include <charconv>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/portable/plist_reader.h"

// A platform in memory that records every call, in order, as one line of text, so a
// test can check what the agent asked for and in which sequence.
class FakePlatform : public Platform {
 public:
  std::map<std::string, std::string> files;       // path -> bytes
  std::deque<ProcessState> probeAnswers;           // next answers; then `defaultProbe`
  ProcessState defaultProbe = ProcessState::alive;
  std::deque<bool> exitSeenAnswers;                // what each sleep reports; then false
  std::vector<std::string> calls;
  // Runs before each read; lets a test change the files between two reads.
  std::function<void(int readNumber)> beforeRead;
  int reads = 0;
  bool launchSucceeds = true;

  std::optional<std::string> readFile(const std::string& path) override {
    if (beforeRead) beforeRead(reads);
    ++reads;
    calls.push_back("read " + path);
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }
  std::optional<PlistValue> parsePropertyList(std::string_view bytes) override {
    return readPropertyList(bytes);
  }
  void setPreference(const std::string& domain, const std::string& key,
                     const std::optional<PreferenceValue>& value) override {
    calls.push_back("set " + domain + " " + key + " = " + describe(value));
  }
  bool synchronizePreferences(const std::string& domain) override {
    calls.push_back("sync " + domain);
    return true;
  }
  ProcessState probeProcess(int pid) override {
    calls.push_back("probe " + std::to_string(pid));
    if (probeAnswers.empty()) return defaultProbe;
    const auto answer = probeAnswers.front();
    probeAnswers.pop_front();
    return answer;
  }
  void watchForExit(int pid) override { calls.push_back("watch " + std::to_string(pid)); }
  bool sleepFor(double seconds) override {
    calls.push_back("sleep " + number(seconds));
    if (exitSeenAnswers.empty()) return false;
    const bool seen = exitSeenAnswers.front();
    exitSeenAnswers.pop_front();
    return seen;
  }
  void startOwnSession() override { calls.push_back("setsid"); }
  bool launch(const std::string& executable, const std::vector<std::string>& arguments) override {
    std::string line = "launch " + executable;
    for (const auto& argument : arguments) line += " [" + argument + "]";
    calls.push_back(line);
    return launchSucceeds;
  }
  bool removeFile(const std::string& path) override {
    calls.push_back("remove " + path);
    return files.erase(path) > 0;
  }
  std::string currentDirectory() override { return "/work"; }

  // Calls that are not reads: what the agent did rather than what it looked at.
  std::vector<std::string> actions() const {
    std::vector<std::string> result;
    for (const auto& call : calls) {
      if (call.rfind("read ", 0) != 0) result.push_back(call);
    }
    return result;
  }

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
