#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// The owner watch's wait apart from the system it runs on. Each system's watch (kqueue on
// Apple systems, inotify and a pidfd on Linux) only translates what it reports into
// WatchEvents; everything decided on them is decided here, the same way for both.

// What an event is about: the snapshot's file, the folder holding it, or the owner.
enum class Watched { file, folder, owner };
enum class Happened { written, attributes, deleted, renamed, revoked, exited };

struct WatchEvent {
  Watched which;
  Happened kind;
  bool operator==(const WatchEvent&) const = default;
};

// What the snapshot's path names, as far as a look without reading tells: a folder's
// event cannot name the entry that changed, so this tells whether it was the snapshot.
struct FileStamp {
  bool present = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

// The shortest time between two reads for changes: a burst of rewrites costs a few
// reads a second, however many it holds.
inline constexpr double burstGap = 0.05;

// How long a wait with a limit (one that waits for a writer to finish) waits without
// events before it ends: a rewrite in place shows its truncation before its bytes. Longer
// than a writer's pause between truncating and writing, shorter than one between rewrites.
inline constexpr double quietSpell = 0.01;

// What the wait needs from a system's watch.
class WatchSource {
 public:
  virtual ~WatchSource() = default;
  virtual double now() = 0;
  // What arrived within `seconds` (for ever when negative), translated; nothing when
  // the time passed first. Events about entries other than the snapshot are dropped
  // where the system can tell.
  virtual std::optional<std::vector<WatchEvent>> next(double seconds) = 0;
  // Waits `seconds` for nothing but the owner's exit, where that can be told apart;
  // answers whether it came.
  virtual bool awaitExit(double seconds) = 0;
  // Whether a change and the exit are both watched in a way that misses none.
  virtual bool trusted() = 0;
  virtual bool watchingFolder() = 0;
  // Takes the folder's watch afresh; answers whether it was had.
  virtual bool watchFolder() = 0;
  virtual void unwatchFolder() = 0;
  // Takes the watch on whatever file the path names now, where files are watched apart;
  // answers which file that is (none present when there is none).
  virtual FileStamp watchFile() = 0;
  // What the path names now.
  virtual FileStamp stamp() = 0;
};

// What one wait carries over to the next.
struct WatchMemory {
  // When the last wait that ended with a change did so.
  double lastChange = -std::numeric_limits<double>::infinity();
  // The snapshot's path as the last wait left it, for the read that followed.
  FileStamp seen;
  // The file whose own events are watched.
  FileStamp watched;
};

// Takes every watch, before the snapshot's first read: no change after it goes unseen.
void startWatching(WatchSource& source, WatchMemory& memory);

// Platform::waitForChange over `source`.
Wake awaitChange(WatchSource& source, WatchMemory& memory, double fallbackSeconds, double limitSeconds);

#if defined(__linux__)
// The inotify adapter's translation of one event of the watch on the snapshot's folder,
// which names the entry it is about (nothing for the folder itself); nothing when the
// event is about another entry.
std::optional<WatchEvent> fromInotify(std::uint32_t mask, std::string_view name, std::string_view snapshotName);
#endif
