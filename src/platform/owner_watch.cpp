#include "platform/owner_watch.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(__APPLE__)
#include <sys/event.h>
#include <sys/mount.h>
#if __has_include(<libproc.h>)
#include <libproc.h>   // proc_pidinfo; declared elsewhere where it is absent
#include <sys/proc.h>  // SZOMB
#include <sys/proc_info.h>
#endif
#else
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#endif

namespace {

#if defined(__APPLE__)
timespec toTimespec(double seconds) {
  double whole = 0.0;
  const double fraction = std::modf(seconds, &whole);
  return {static_cast<time_t>(whole), static_cast<long>(fraction * 1e9)};
}
#endif

double monotonicNow() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Apple systems name the field st_mtimespec, POSIX st_mtim.
template <typename Status>
timespec modificationTime(const Status& status) {
  if constexpr (requires { status.st_mtimespec; }) {
    return status.st_mtimespec;
  } else {
    return status.st_mtim;
  }
}

FileStamp stampOf(const struct stat& status) {
  const timespec modified = modificationTime(status);
  return {true, static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec};
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

#if defined(__APPLE__)
// Whether process `pid` has ended: there is none, or only its zombie.
bool ownerGone(int pid) {
  proc_bsdinfo info{};
  constexpr int size = static_cast<int>(PROC_PIDTBSDINFO_SIZE);
  return ::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, size) != size || info.pbi_status == SZOMB;
}

// The vnode flags of a kevent, translated.
void addVnodeEvents(Watched which, std::uint32_t flags, std::vector<WatchEvent>& events) {
  constexpr std::pair<std::uint32_t, Happened> kinds[] = {
      {NOTE_WRITE | NOTE_EXTEND, Happened::written},
      {NOTE_ATTRIB | NOTE_LINK, Happened::attributes},
      {NOTE_DELETE, Happened::deleted},
      {NOTE_RENAME, Happened::renamed},
      {NOTE_REVOKE, Happened::revoked},
  };
  for (const auto& [mask, kind] : kinds) {
    if ((flags & mask) != 0) events.push_back({which, kind});
  }
}
#endif

}  // namespace

OwnerWatch::OwnerWatch(int pid, const std::string& path) : path_(path) {
  const std::size_t slash = path.rfind('/');
  folder_ = slash == 0 ? "/" : path.substr(0, slash);
  name_ = path.substr(slash + 1);
#if defined(__APPLE__)
  queue_ = UniqueFd(::kqueue());
  if (queue_.valid()) {
    struct kevent change {};
    EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    exitWatched_ = ::kevent(queue_.get(), &change, 1, nullptr, 0, nullptr) == 0;
    // A zombie cannot be watched, yet answers kill(pid, 0): it has exited all the same.
    goneAtStart_ = !exitWatched_ && errno == ESRCH && ownerGone(pid);
  }
#elif defined(SYS_pidfd_open)
  exit_ = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
#endif
  startWatching(*this, memory_);
}

Wake OwnerWatch::wait(double fallbackSeconds, double limitSeconds) {
  return awaitChange(*this, memory_, fallbackSeconds, limitSeconds);
}

double OwnerWatch::now() { return monotonicNow(); }

bool OwnerWatch::trusted() {
  // Through a link, the file that is read lies elsewhere and changes there unseen.
  return watchingFolder() && watchingExit() && !isLink(path_);
}

FileStamp OwnerWatch::stamp() {
  struct stat status {};
  return ::lstat(path_.c_str(), &status) == 0 ? stampOf(status) : FileStamp{};
}

#if defined(__APPLE__)

bool OwnerWatch::watchingFolder() { return folderFd_.valid(); }
bool OwnerWatch::watchingExit() const { return exitWatched_ || goneAtStart_; }
void OwnerWatch::unwatchFolder() { folderFd_.reset(); }

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

FileStamp OwnerWatch::watchFile() {
  // Rewrites of the file in place show only on the file itself. Closing the old
  // descriptor drops its events.
  fileFd_.reset();
  if (!queue_.valid()) return {};
  fileFd_ = UniqueFd(::open(path_.c_str(), O_EVTONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct kevent change {};
  EV_SET(&change, fileFd_.get(), EVFILT_VNODE, EV_ADD | EV_CLEAR,
         NOTE_WRITE | NOTE_EXTEND | NOTE_ATTRIB | NOTE_LINK | NOTE_DELETE | NOTE_RENAME | NOTE_REVOKE, 0, nullptr);
  if (fileFd_.valid() && ::kevent(queue_.get(), &change, 1, nullptr, 0, nullptr) != 0) fileFd_.reset();
  struct stat status {};
  if (!fileFd_.valid() || ::fstat(fileFd_.get(), &status) != 0) return {};
  return stampOf(status);
}

bool OwnerWatch::awaitExit(double seconds) {
  // The exit is taken in with the changes afterwards, so that a burst of vnode events
  // wakes nothing meanwhile.
  timespec left = toTimespec(seconds);
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return false;
}

std::optional<std::vector<WatchEvent>> OwnerWatch::next(double seconds) {
  if (goneAtStart_) return std::vector<WatchEvent>{{Watched::owner, Happened::exited}};
  if (!queue_.valid()) {
    awaitExit(seconds);
    return std::nullopt;
  }
  timespec limit = toTimespec(seconds);
  struct kevent received[32];
  const int count = ::kevent(queue_.get(), nullptr, 0, received, 32, seconds < 0 ? nullptr : &limit);
  if (count < 0) {
    if (errno != EINTR) {
      // Nothing can be watched any more: from now on every wait is a plain pause.
      fileFd_.reset();
      folderFd_.reset();
      queue_.reset();
      exitWatched_ = false;
    }
    return std::vector<WatchEvent>{};
  }
  if (count == 0) return std::nullopt;
  std::vector<WatchEvent> events;
  for (const auto& event : std::span(received, static_cast<std::size_t>(count))) {
    if (event.filter == EVFILT_PROC) {
      if ((event.fflags & NOTE_EXIT) != 0) events.push_back({Watched::owner, Happened::exited});
      continue;
    }
    const bool folder = folderFd_.valid() && event.ident == static_cast<uintptr_t>(folderFd_.get());
    addVnodeEvents(folder ? Watched::folder : Watched::file, event.fflags, events);
  }
  return events;
}

#else

bool OwnerWatch::watchingFolder() { return changes_.valid(); }
bool OwnerWatch::watchingExit() const { return exit_.valid(); }
void OwnerWatch::unwatchFolder() { changes_.reset(); }
// The folder's watch names the snapshot's entry, whatever file stands there.
FileStamp OwnerWatch::watchFile() { return stamp(); }
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

std::optional<std::vector<WatchEvent>> OwnerWatch::next(double seconds) {
  pollfd handles[] = {{exit_.get(), POLLIN, 0}, {changes_.get(), POLLIN, 0}};
  // Rounded up, so that a wait never ends before its time for want of a millisecond.
  const int ready = ::poll(handles, 2, seconds < 0 ? -1 : static_cast<int>(std::ceil(seconds * 1000)));
  if (ready < 0) {
    if (errno != EINTR) {
      // Nothing can be watched any more: from now on every wait is a plain pause.
      exit_.reset();
      changes_.reset();
    }
    return std::vector<WatchEvent>{};
  }
  if (ready == 0) return std::nullopt;
  if ((handles[0].revents & POLLIN) != 0) return std::vector<WatchEvent>{{Watched::owner, Happened::exited}};
  if ((handles[0].revents & (POLLERR | POLLNVAL)) != 0) exit_.reset();  // left to the probe
  std::vector<WatchEvent> events;
  if (handles[1].revents == 0) return events;

  // Room for a few events; one with the longest name fits, as read requires.
  alignas(inotify_event) char buffer[1024];
  for (;;) {
    const ssize_t count = ::read(changes_.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN) break;
    if (count <= 0) {
      events.push_back({Watched::folder, Happened::revoked});
      break;
    }
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(count);) {
      inotify_event event{};
      std::memcpy(&event, buffer + offset, sizeof event);
      const std::string_view name(buffer + offset + sizeof event, ::strnlen(buffer + offset + sizeof event, event.len));
      offset += sizeof event + event.len;
      if (const auto translated = fromInotify(event.mask, name, name_)) events.push_back(*translated);
    }
  }
  return events;
}

#endif
