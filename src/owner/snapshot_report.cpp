// dock-restore-inspect: tells an owner's developer what the agent makes of a snapshot.
// Reads only; changes nothing.

#include <charconv>
#include <cstdio>
#include <span>
#include <string>

#include "agent/arguments.h"
#include "platform/platform.h"
#include "restore/dock_settings.h"
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

// Why the reader found no snapshot: the first of its steps that fails.
std::string whyUnread(Platform& platform, const std::string& path) {
  const auto bytes = platform.readFile(path);
  if (!bytes) {
    return "the file cannot be read (missing, not a regular file, unreadable, over 16 MiB, owned by "
           "another user or writable by others)";
  }
  const auto root = platform.parsePropertyList(*bytes);
  if (!root) return "the file is not a property list (or it is cut short)";
  const auto* top = root->get<PlistDictionary>();
  if (top == nullptr) return "the top level is not a dictionary";
  return "there is no \"snapshot\" dictionary at the top level";
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
  if (arguments.size() != 2 && arguments.size() != 5) {
    std::fputs("usage: dock-restore-inspect SNAPSHOT_PATH [OWNER_PID SESSION_ID OWNER_DOMAIN]\n", stderr);
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
    if (value) {
      line += describe(*value);
    } else {
      line += entry == nullptr ? "delete (not recorded)" : "delete (no usable \"type\")";
    }
    say(line);
  }

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
