#include "platform/owner_watch.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(__APPLE__)
#include <sys/event.h>
#include <sys/mount.h>
#else
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#endif

namespace {

// The shortest time between two reads for changes: a burst of rewrites costs a few
// reads a second, however many it holds.
constexpr double burstGap = 0.05;
#if defined(__APPLE__)
timespec toTimespec(double seconds) {
  double whole = 0.0;
  const double fraction = std::modf(seconds, &whole);
  return {static_cast<time_t>(whole), static_cast<long>(fraction * 1e9)};
}
#endif

double now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool isLink(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// Whether no folder on the way to `folder`, nor `folder` itself, is a symbolic link: a
// link that is pointed elsewhere changes what the path names without an event.
bool plainFolder(const std::string& folder) {
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    if (isLink(folder.substr(0, end))) return false;
    if (end == std::string::npos) return true;
  }
}

}  // namespace

OwnerWatch::OwnerWatch(int pid, const std::string& path) : path_(path) {
  const std::size_t slash = path.rfind('/');
  folder_ = slash == 0 ? "/" : path.substr(0, slash);
  name_ = path.substr(slash + 1);
#if defined(__APPLE__)
  queue_ = UniqueFd(::kqueue());
  if (!queue_.valid()) return;
  struct kevent change {};
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  exitWatched_ = ::kevent(queue_.get(), &change, 1, nullptr, 0, nullptr) == 0;
#elif defined(SYS_pidfd_open)
  exit_ = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
#endif
  watchFolder();
}

Wake OwnerWatch::wait(double fallbackSeconds, double limitSeconds) {
  // A watch lost or never had is tried again at every pass. Once it is back, the
  // snapshot is read again at once: it may have changed while nothing watched it.
  if (!watchingFolder() && watchFolder()) return Wake::snapshotChanged;
#if defined(__APPLE__)
  if (!fileFd_.valid() && queue_.valid()) {
    // Rewrites of the file in place show only on the file, and it is replaced by renames.
    fileFd_ = UniqueFd(::open(path_.c_str(), O_EVTONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct kevent change {};
    EV_SET(&change, fileFd_.get(), EVFILT_VNODE, EV_ADD | EV_CLEAR,
           NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_LINK | NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE, 0, nullptr);
    if (fileFd_.valid() && ::kevent(queue_.get(), &change, 1, nullptr, 0, nullptr) != 0) fileFd_.reset();
  }
#endif
  // Through a link, the file that is read lies elsewhere and changes there unseen.
  const bool trusted = watchingFolder() && !isLink(path_);
  const double start = now();
  for (;;) {
    const bool watched = trusted && watchingFolder() && watchingExit();
    const double seconds = watched ? limitSeconds : std::min(limitSeconds, fallbackSeconds);
    const Event event = next(std::isinf(seconds) ? -1.0 : std::max(0.0, start + seconds - now()));
    if (event == Event::exited) return Wake::ownerExited;
    if (event == Event::timedOut) return Wake::timedOut;
    if (event == Event::changed) break;
  }
  // What arrived together has been taken in: the snapshot is read once for all of it,
  // and at once, unless the last change was only just read. A burst of changes is read
  // no more often than once every burstGap, and meanwhile wakes nothing but an exit. A
  // wait with a limit is owed its answer at once: it waits for a writer to finish.
  if (const double left = lastChange_ + burstGap - now(); left > 0 && std::isinf(limitSeconds)) {
    if (awaitExit(left) || next(0.0) == Event::exited) return Wake::ownerExited;
  }
  lastChange_ = now();
  return Wake::snapshotChanged;
}

#if defined(__APPLE__)

bool OwnerWatch::watchingFolder() const { return folderFd_.valid(); }
bool OwnerWatch::watchingExit() const { return exitWatched_; }

bool OwnerWatch::watchFolder() {
  folderFd_.reset();
  if (!queue_.valid() || !plainFolder(folder_)) return false;
  UniqueFd folder(::open(folder_.c_str(), O_EVTONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct statfs system {};
  // Other machines' changes to a network volume raise no events here.
  if (!folder.valid() || ::fstatfs(folder.get(), &system) != 0 || (system.f_flags & MNT_LOCAL) == 0) {
    return false;
  }
  struct kevent change {};
  EV_SET(&change, folder.get(), EVFILT_VNODE, EV_ADD | EV_CLEAR,
         NOTE_WRITE | NOTE_ATTRIB | NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE, 0, nullptr);
  if (::kevent(queue_.get(), &change, 1, nullptr, 0, nullptr) != 0) return false;
  folderFd_ = std::move(folder);
  return true;
}

bool OwnerWatch::awaitExit(double seconds) {
  // The exit is taken in with the changes afterwards, so that a burst of vnode events
  // wakes nothing meanwhile.
  timespec left = toTimespec(seconds);
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return false;
}

OwnerWatch::Event OwnerWatch::next(double seconds) {
  if (!queue_.valid()) {
    awaitExit(seconds);
    return Event::timedOut;
  }
  timespec limit = toTimespec(seconds);
  struct kevent events[8];
  const int count = ::kevent(queue_.get(), nullptr, 0, events, 8, seconds < 0 ? nullptr : &limit);
  if (count < 0) {
    if (errno != EINTR) {
      // Nothing can be watched any more: from now on every wait is a plain pause.
      fileFd_.reset();
      folderFd_.reset();
      queue_.reset();
      exitWatched_ = false;
    }
    return Event::none;
  }
  if (count == 0) return Event::timedOut;
  Event result = Event::none;
  for (const auto& event : std::span(events, static_cast<std::size_t>(count))) {
    if (event.filter == EVFILT_PROC) {
      if ((event.fflags & NOTE_EXIT) != 0) return Event::exited;
      continue;
    }
    result = Event::changed;
    const bool gone = (event.fflags & (NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE)) != 0;
    if (folderFd_.valid() && event.ident == static_cast<uintptr_t>(folderFd_.get())) {
      if (gone) folderFd_.reset();
    } else if (gone) {
      fileFd_.reset();  // no longer the snapshot; the next wait watches whatever is there
    }
  }
  return result;
}

#else

bool OwnerWatch::watchingFolder() const { return changes_.valid(); }
bool OwnerWatch::watchingExit() const { return exit_.valid(); }

bool OwnerWatch::watchFolder() {
  changes_.reset();
  if (!plainFolder(folder_)) return false;
  UniqueFd changes(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // Completed writes only (a close after writing, a rename in or out, a deletion): a
  // rewrite in place is read once it is whole, not at its truncation. Creation needs no
  // event: the snapshot must have gone from the path first. IN_DONT_FOLLOW with
  // IN_ONLYDIR refuses a folder that is a link.
  constexpr std::uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
  if (!changes.valid() || ::inotify_add_watch(changes.get(), folder_.c_str(), events) < 0) return false;
  struct statfs system {};
  if (::statfs(folder_.c_str(), &system) != 0) return false;
  // Other machines' changes to a network or user-space file system raise no events here.
  switch (static_cast<unsigned long>(system.f_type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
    case FUSE_SUPER_MAGIC:
    case V9FS_MAGIC:
    case CEPH_SUPER_MAGIC:
    case AFS_SUPER_MAGIC:
    case AFS_FS_MAGIC:
    case CODA_SUPER_MAGIC: return false;
    default: break;
  }
  changes_ = std::move(changes);
  return true;
}

bool OwnerWatch::awaitExit(double seconds) {
  pollfd handle{exit_.get(), POLLIN, 0};
  return ::poll(&handle, 1, static_cast<int>(std::ceil(seconds * 1000))) > 0 && (handle.revents & POLLIN) != 0;
}

OwnerWatch::Event OwnerWatch::next(double seconds) {
  pollfd handles[] = {{exit_.get(), POLLIN, 0}, {changes_.get(), POLLIN, 0}};
  // Rounded up, so that a wait never ends before its time for want of a millisecond.
  const int ready = ::poll(handles, 2, seconds < 0 ? -1 : static_cast<int>(std::ceil(seconds * 1000)));
  if (ready < 0) {
    if (errno != EINTR) {
      // Nothing can be watched any more: from now on every wait is a plain pause.
      exit_.reset();
      changes_.reset();
    }
    return Event::none;
  }
  if (ready == 0) return Event::timedOut;
  if ((handles[0].revents & POLLIN) != 0) return Event::exited;
  if ((handles[0].revents & (POLLERR | POLLNVAL)) != 0) exit_.reset();  // left to the probe
  if (handles[1].revents == 0) return Event::none;

  bool changed = false;
  bool lost = false;
  // Room for a few events; one with the longest name fits, as read requires.
  alignas(inotify_event) char buffer[1024];
  for (;;) {
    const ssize_t count = ::read(changes_.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN) break;
    if (count <= 0) {
      lost = true;
      break;
    }
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(count);) {
      inotify_event event{};
      std::memcpy(&event, buffer + offset, sizeof event);
      const std::string_view name(buffer + offset + sizeof event, ::strnlen(buffer + offset + sizeof event, event.len));
      offset += sizeof event + event.len;
      // The folder itself gone, moved or unmounted: what the path names is no longer
      // watched. An overflow lost events, so the snapshot is read whatever they were.
      if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) lost = true;
      if ((event.mask & IN_Q_OVERFLOW) != 0 || event.len == 0 || name == name_) changed = true;
    }
  }
  if (lost) changes_.reset();
  return changed || lost ? Event::changed : Event::none;
}

#endif
