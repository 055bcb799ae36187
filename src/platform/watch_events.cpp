#include "platform/watch_events.h"

#include <algorithm>
#include <cmath>

#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace {

// What one batch of events calls for.
struct Reading {
  bool exited = false;
  bool changed = false;        // the snapshot may read otherwise now
  bool folderTouched = false;  // some entry of the folder changed, perhaps the snapshot
  bool fileGone = false;       // the watched file no longer stands at the path
  bool folderGone = false;
};

Reading interpret(const std::vector<WatchEvent>& events) {
  Reading reading;
  for (const auto& [which, kind] : events) {
    const bool gone = kind == Happened::deleted || kind == Happened::renamed || kind == Happened::revoked;
    switch (which) {
      case Watched::owner: reading.exited = reading.exited || kind == Happened::exited; break;
      case Watched::file:
        reading.changed = true;
        reading.fileGone = reading.fileGone || gone;
        break;
      case Watched::folder:
        reading.folderGone = reading.folderGone || gone;
        reading.changed = reading.changed || gone;
        reading.folderTouched = reading.folderTouched || !gone;
        break;
    }
  }
  return reading;
}

bool sameFile(const FileStamp& a, const FileStamp& b) {
  return a.present == b.present && a.device == b.device && a.inode == b.inode;
}

// Takes in a batch: renews the watches it calls for, and tells whether the snapshot may
// have changed.
Reading take(WatchSource& source, WatchMemory& memory, const std::vector<WatchEvent>& events) {
  Reading reading = interpret(events);
  if (reading.folderGone) source.unwatchFolder();
  // At once, before the read that follows: a rewrite in place of the file that now
  // stands at the path shows on that file's own watch only.
  if (reading.fileGone) memory.watched = source.watchFile();
  if (reading.folderTouched && !reading.changed) {
    // A folder's event does not name its entry; creating a temporary file beside the
    // snapshot is no change to it.
    const FileStamp now = source.stamp();
    reading.changed = now != memory.seen;
    if (!sameFile(now, memory.watched)) memory.watched = source.watchFile();
  }
  return reading;
}

Wake ended(WatchSource& source, WatchMemory& memory, Wake wake) {
  if (wake == Wake::ownerExited) return wake;
  // What the read that follows sees, and the file it reads is the one watched.
  memory.seen = source.stamp();
  if (!sameFile(memory.seen, memory.watched)) memory.watched = source.watchFile();
  return wake;
}

}  // namespace

void startWatching(WatchSource& source, WatchMemory& memory) {
  source.watchFolder();
  memory.watched = source.watchFile();
  memory.seen = source.stamp();
}

Wake awaitChange(WatchSource& source, WatchMemory& memory, double fallbackSeconds, double limitSeconds) {
  // A watch lost or never had is tried again at every pass. Once it is back, the
  // snapshot is read again at once: it may have changed while nothing watched it.
  if (!source.watchingFolder() && source.watchFolder()) return ended(source, memory, Wake::snapshotChanged);
  // A wait with a limit waits for a writer to finish: it ends once changes have paused
  // for a quiet spell, never on one that was already pending (a truncation, reported
  // before the bytes that follow it), and at its limit when none comes.
  const bool settling = !std::isinf(limitSeconds);
  const double start = source.now();
  double lastChange = -std::numeric_limits<double>::infinity();
  if (settling) {
    if (auto pending = source.next(0.0)) {
      const Reading reading = take(source, memory, *pending);
      if (reading.exited) return Wake::ownerExited;
      if (reading.changed) lastChange = start;
    }
  }
  for (;;) {
    double end = start + (source.trusted() ? limitSeconds : std::min(limitSeconds, fallbackSeconds));
    if (settling && !std::isinf(lastChange)) end = std::min(end, lastChange + quietSpell);
    const double now = source.now();
    if (now >= end) return ended(source, memory, std::isinf(lastChange) ? Wake::timedOut : Wake::snapshotChanged);
    const auto events = source.next(std::isinf(end) ? -1.0 : end - now);
    if (!events) continue;
    const Reading reading = take(source, memory, *events);
    if (reading.exited) return Wake::ownerExited;
    if (!reading.changed) continue;
    lastChange = source.now();
    if (!settling) break;
  }
  // What arrived together has been taken in: the snapshot is read once for all of it,
  // and at once, unless the last change was only just read. A burst of changes is read
  // no more often than once every burstGap, and meanwhile wakes nothing but an exit.
  if (const double left = memory.lastChange + burstGap - source.now(); left > 0) {
    if (source.awaitExit(left)) return Wake::ownerExited;
    if (auto events = source.next(0.0); events && take(source, memory, *events).exited) return Wake::ownerExited;
  }
  memory.lastChange = source.now();
  return ended(source, memory, Wake::snapshotChanged);
}

#if defined(__linux__)

std::optional<WatchEvent> fromInotify(std::uint32_t mask, std::string_view name, std::string_view snapshotName) {
  // Lost events may have been the snapshot's own.
  if ((mask & IN_Q_OVERFLOW) != 0) return WatchEvent{Watched::file, Happened::written};
  if ((mask & IN_DELETE_SELF) != 0) return WatchEvent{Watched::folder, Happened::deleted};
  if ((mask & IN_MOVE_SELF) != 0) return WatchEvent{Watched::folder, Happened::renamed};
  // Unmounted, or the watch dropped for any other reason.
  if ((mask & (IN_UNMOUNT | IN_IGNORED)) != 0) return WatchEvent{Watched::folder, Happened::revoked};
  const bool folder = name.empty();
  if (!folder && name != snapshotName) return std::nullopt;
  const Watched which = folder ? Watched::folder : Watched::file;
  if ((mask & IN_DELETE) != 0) return WatchEvent{which, Happened::deleted};
  if ((mask & (IN_MOVED_FROM | IN_MOVED_TO)) != 0) return WatchEvent{which, Happened::renamed};
  if ((mask & IN_ATTRIB) != 0) return WatchEvent{which, Happened::attributes};
  if ((mask & IN_CLOSE_WRITE) != 0) return WatchEvent{which, Happened::written};
  return std::nullopt;
}

#endif
