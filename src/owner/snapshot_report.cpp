// dock-restore-inspect: tells an owner's developer what the agent makes of a snapshot.
// Reads only; changes nothing.

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/arguments.h"
#include "platform/platform.h"
#include "restore/dock_settings.h"
#include "restore/sessions.h"
#include "snapshot/snapshot.h"

namespace {

constexpr int exitUsage = 64;

void say(const std::string& line) { std::fputs((line + "\n").c_str(), stdout); }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string describe(const PreferenceValue& value) {
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "bool true" : "bool false";
  if (const auto* real = std::get_if<double>(&value)) {
    char text[32];
    return "real " + std::string(text, std::to_chars(text, text + sizeof text, *real).ptr);
  }
  return "string " + quoted(std::get<std::string>(value));
}

// The reason a platform gave, after a colon; nothing when it gave none (the file
// changed in between).
std::string because(const std::string& reason) { return reason.empty() ? "" : ": " + reason; }

// Why the reader found no snapshot: the first of its steps that fails, in the words of
// the check that failed.
std::string whyUnread(Platform& platform, const std::string& path) {
  const auto bytes = platform.readFile(path);
  if (!bytes) return "the file cannot be read" + because(platform.whyUnreadable(path));
  const auto root = platform.parsePropertyList(*bytes);
  if (!root) return "the file is not a property list" + because(platform.whyUnparsable(*bytes));
  const auto* top = root->get<PlistDictionary>();
  if (top == nullptr) return "the top level is not a dictionary";
  return "there is no \"snapshot\" dictionary at the top level";
}

// How many single-byte edits, ignoring case, turn `a` into `b`.
std::size_t editDistance(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Of `known`, the one nearest to `name`.
template <typename Names>
std::string_view nearest(std::string_view name, const Names& known) {
  return *std::min_element(std::begin(known), std::end(known), [&](std::string_view a, std::string_view b) {
    return editDistance(name, a) < editDistance(name, b);
  });
}

constexpr std::array<std::string_view, 3> entryTypes = {"bool", "number", "string"};
constexpr std::array<std::string_view, 4> topLevelKeys = {"active", "ownerPID", "sessionID", "snapshot"};

// What a recovery does with an entry it cannot use.
std::string unusable(const PlistValue* entry) {
  if (entry == nullptr) return "delete (not recorded)";
  const auto* fields = entry->get<PlistDictionary>();
  const auto* type = fields == nullptr ? nullptr : lookup(*fields, "type");
  const auto* name = type == nullptr ? nullptr : type->get<std::string>();
  if (name == nullptr) return "delete (no usable \"type\")";
  return "delete (unknown type " + quoted(*name) + "; did you mean " + quoted(std::string(nearest(*name, entryTypes))) +
         "?)";
}

// Keys the agent passes over that look like ones it reads: a setting it does not know,
// and at the top level, where the owner may keep keys of its own, a near miss.
void remarkOnKeys(Platform& platform, const std::string& path, const PlistDictionary& settings) {
  for (const auto& [key, entry] : settings) {
    if (std::find(DockSettingKeys.begin(), DockSettingKeys.end(), key) != DockSettingKeys.end()) continue;
    const auto near = nearest(key, DockSettingKeys);
    say("  unknown key " + quoted(key) + " is ignored" +
        (editDistance(key, near) <= 3 ? "; did you mean " + quoted(std::string(near)) + "?" : ""));
  }
  const auto bytes = platform.readFile(path);
  const auto root = bytes ? platform.parsePropertyList(*bytes) : std::nullopt;
  const auto* top = root ? root->get<PlistDictionary>() : nullptr;
  for (const auto& [key, value] : top == nullptr ? PlistDictionary{} : *top) {
    const auto near = nearest(key, topLevelKeys);
    if (key != near && editDistance(key, near) <= 2) {
      say("Top-level key " + quoted(key) + " is ignored; did you mean " + quoted(std::string(near)) + "?");
    }
  }
}

// Why an agent started with `arguments` would stand down at once.
std::string whyNoMatch(const SnapshotRecord& record, const AgentArguments& arguments) {
  if (!record.active) return "\"active\" is not true";
  if (record.ownerPID != arguments.ownerPID) {
    return "\"ownerPID\" " + std::to_string(record.ownerPID) + " is not the argument " +
           std::to_string(arguments.ownerPID);
  }
  return "\"sessionID\" " + quoted(record.sessionID) + " is not the argument " + quoted(arguments.sessionID);
}

}  // namespace

int main(int argc, char** argv) {
  std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  constexpr const char* usage = "usage: dock-restore-inspect SNAPSHOT_PATH [OWNER_PID SESSION_ID OWNER_DOMAIN]\n";
  if (arguments.size() == 2 && std::string_view(arguments[1]) == "--help") {
    std::fputs(usage, stdout);
    std::fputs(
        "Says what an agent started with these arguments would make of the snapshot; "
        "changes nothing.\n(A snapshot named --help: ./--help.)\n",
        stdout);
    return 0;
  }
  if (arguments.size() != 2 && arguments.size() != 5) {
    std::fputs(usage, stderr);
    return exitUsage;
  }
  const auto platform = makeSystemPlatform();
  const std::string path = arguments[1];
  const auto record = readSnapshot(*platform, path);
  if (!record) {
    say("No snapshot in " + path + ": " + whyUnread(*platform, path) + ".");
    say("An agent would exit at once and touch nothing.");
    return 1;
  }

  say("Snapshot " + path + ":");
  say(std::string("  active     ") + (record->active ? "true" : "false"));
  say("  ownerPID   " + std::to_string(record->ownerPID));
  say("  sessionID  " + quoted(record->sessionID));
  say("A recovery would write to " + std::string(dockDomain) + ":");
  for (const auto key : DockSettingKeys) {
    const auto* entry = lookup(record->settings, key);
    const auto value = preferenceFromEntry(entry);
    std::string line = "  " + std::string(key);
    line.resize(26, ' ');
    line += value ? describe(*value) : unusable(entry);
    say(line);
  }
  // A record of what the session applied narrows that to the keys it changed.
  if (const auto stored = readStored(*platform, path); stored && stored->applied) {
    std::string keys;
    for (const auto& [key, entry] : *stored->applied) keys.append(keys.empty() ? "" : ", ").append(quoted(key));
    say("  but only " +
        (keys.empty() ? std::string("nothing: the session recorded that it applied nothing")
                      : "to " + keys + ", each while the Dock still holds the value the session applied") +
        "; every other key stays as the user has it.");
  }
  remarkOnKeys(*platform, path, record->settings);

  bool wouldRecover = record->active;
  if (arguments.size() == 5) {
    const auto parsed = parseArguments(arguments.subspan(1), *platform);
    if (!snapshotMatches(record, *parsed)) {
      say("The agent would exit at once and touch nothing: " + whyNoMatch(*record, *parsed) + ".");
      return 1;
    }
    const bool running = parsed->ownerPID > 0 && platform->probeProcess(parsed->ownerPID) == ProcessState::alive;
    say(running
            ? "The agent would wait while process " + std::to_string(parsed->ownerPID) +
                  " runs, then recover, clear the marker in " + quoted(parsed->ownerDomain) + " and restart the Dock."
            : "The owner is not running: the agent would recover at once, clear the marker in " +
                  quoted(parsed->ownerDomain) + " and restart the Dock.");
  } else if (wouldRecover) {
    say("An agent started with " + path + " " + std::to_string(record->ownerPID) + " " + record->sessionID +
        " OWNER_DOMAIN would recover once process " + std::to_string(record->ownerPID) + " is gone.");
  } else {
    say("The snapshot is not active: an agent would exit at once and touch nothing.");
  }
  return wouldRecover ? 0 : 1;
}
