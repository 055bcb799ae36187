#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "values/plist_value.h"

// A value the agent writes into a preferences domain: a boolean, a real or a text.
using PreferenceValue = std::variant<bool, double, std::string>;

// `value` as the property-list value a store holds.
inline PlistValue plistValueOf(const PreferenceValue& value) {
  return std::visit([](const auto& v) { return PlistValue(v); }, value);
}

enum class ProcessState { alive, gone };

// What ended a wait of the owner watch.
enum class Wake { ownerExited, snapshotChanged, timedOut };

// Containers nested deeper than this make a document unreadable, whichever backend
// parses it (the limit CoreFoundation applies on macOS).
inline constexpr int maxPlistDepth = 512;

// What turning a parsed document into a PlistValue may cost, in units of roughly a
// byte: plistValueCost a value, plus one a byte of text or data. A document that
// repeats nothing costs at most plistValueCost per byte of its file; twice that plus
// 16 MiB admits the shared keys and strings writers use, never an exponential fan-out
// of shared references.
inline constexpr std::uint64_t plistValueCost = 64;
inline constexpr std::uint64_t plistBudget(std::size_t fileSize) {
  return fileSize * 2 * plistValueCost + (std::uint64_t{16} << 20);
}

// Everything the agent needs from outside its own process goes through this
// interface: the real implementation talks to the operating system, the tests'
// fake records what was asked of it.
class Platform {
 public:
  virtual ~Platform() = default;

  // The whole file at `path`, or nothing when it cannot be read or when another user
  // could have written it: it must belong to the agent's own (effective) user and must
  // be writable by no one else, neither its group nor others.
  virtual std::optional<std::string> readFile(const std::string& path) = 0;

  // The property list held by `bytes`, or nothing when they do not parse.
  virtual std::optional<PlistValue> parsePropertyList(std::string_view bytes) = 0;

  // For a developer: why readFile(path) gives nothing, the one check the file failed
  // ("its mode 0666 lets other users write it"); empty when it reads.
  virtual std::string whyUnreadable(const std::string& path) = 0;

  // For a developer: why parsePropertyList(bytes) gives nothing, with the line of an
  // XML error; empty when the bytes parse.
  virtual std::string whyUnparsable(std::string_view bytes) = 0;

  // Records `key` = `value` in `domain` for the current user; no value deletes the key.
  // Nothing is stored until synchronizePreferences.
  virtual void setPreference(const std::string& domain, const std::string& key,
                             const std::optional<PreferenceValue>& value) = 0;
  // Stores `domain`'s recorded changes; once it answers true, what the store wrote is on
  // stable storage, as far as the backend can see to it.
  virtual bool synchronizePreferences(const std::string& domain) = 0;

  // Signal-0 probe: a process that exists but belongs to someone else is alive.
  virtual ProcessState probeProcess(int pid) = 0;

  // Takes handles on the exit of process `pid` and on changes to the file at `path`
  // (absolute), for waitForChange.
  virtual void startWatch(int pid, const std::string& path) = 0;

  // Waits until the watched process exits or the watched file changes, or `limitSeconds`
  // pass (infinity: no limit). Without a limit, changes that come in a burst end a wait
  // no more often than every few dozen milliseconds; with one, the wait is for a writer
  // to finish: it ends once changes, pending ones included, have paused for a moment.
  // Where the exit or the file cannot be watched, or the file's watch could miss a change
  // (a link on its path, a network file system, its folder gone), waits no longer than
  // `fallbackSeconds` either. ownerExited means the process is gone even if a probe still
  // finds one under its PID (an unreaped zombie, or a newcomer that reused it).
  virtual Wake waitForChange(double fallbackSeconds, double limitSeconds) = 0;

  // Lets the agent outlive a terminal it may have been started from: leaves the session
  // and process group it was started in where it can, ignores the signals a terminal
  // sends (SIGINT, SIGQUIT, SIGHUP) in any case, and puts its standard streams on
  // /dev/null.
  virtual void detachFromTerminal() = 0;

  // Starts `executable` with `arguments` (program name excluded), without a shell
  // and without waiting for it.
  virtual bool launch(const std::string& executable, const std::vector<std::string>& arguments) = 0;

  // Removes the file or link at `path`; never a directory tree. Once it answers true, the
  // removal is on stable storage.
  virtual bool removeFile(const std::string& path) = 0;

  // The current working directory, for turning a relative snapshot path absolute.
  virtual std::string currentDirectory() = 0;
};

// The platform of the build: CoreFoundation on Apple systems, the portable one elsewhere.
std::unique_ptr<Platform> makeSystemPlatform();
