#include "platform/posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#if defined(__APPLE__) && __has_include(<libproc.h>)
#include <libproc.h>   // proc_pidpath, proc_pidinfo; declared elsewhere where it is absent
#include <sys/proc.h>  // SZOMB
#include <sys/proc_info.h>
#endif

#include "platform/regular_file.h"
#include "platform/user_paths.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not in every unistd.h

namespace {

// What a terminal sends its session and foreground job.
constexpr int terminalSignals[] = {SIGINT, SIGQUIT, SIGHUP};

std::string parentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> PosixPlatform::readFile(const std::string& path) {
  std::string contents;
  // A snapshot another local user could have written is no record of ours.
  if (readRegularFile(path, maxReadFileSize, contents, FileWriters::ownUser) != FileRead::read) {
    return std::nullopt;
  }
  return contents;
}

std::string PosixPlatform::whyUnreadable(const std::string& path) {
  std::string contents;
  std::string refusal;
  readRegularFile(path, maxReadFileSize, contents, FileWriters::ownUser, &refusal);
  return refusal;
}

ProcessState PosixPlatform::probeProcess(int pid) {
  if (::kill(pid, 0) == 0) return ProcessState::alive;
  // EPERM: the process exists but is not ours to signal.
  return errno == EPERM ? ProcessState::alive : ProcessState::gone;
}

void PosixPlatform::startWatch(int pid, const std::string& path) { watch_ = OwnerWatch(pid, path); }

Wake PosixPlatform::waitForChange(double fallbackSeconds, double limitSeconds) {
  return watch_.wait(fallbackSeconds, limitSeconds);
}

void PosixPlatform::detachFromTerminal() {
  // Ignored, not handled: the agent has nothing to do on them. Nor does it fork to leave
  // a process group it leads (a shell makes every job it starts one, and setsid then
  // fails): that would change the PID owners may watch.
  for (const int terminalSignal : terminalSignals) ::signal(terminalSignal, SIG_IGN);
  ::setsid();
  // Nothing the agent links may speak for it either (CoreFoundation logs some parse
  // failures to standard error), and a terminal closed later must not matter.
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (stream != null) ::dup2(null, stream);
  }
  if (null > STDERR_FILENO) ::close(null);
}

bool PosixPlatform::launch(const std::string& executable, const std::vector<std::string>& arguments) {
  // Started as the agent itself is: the child's complaints ("no process found") would be
  // the agent speaking, which it never does, and the signals it ignores are not passed on.
  return startDetached(executable, arguments) > 0;
}

bool PosixPlatform::removeFile(const std::string& path) {
  // unlink removes a file or a link and refuses a directory, which is never ours to remove.
  // The folder is flushed as every other step flushes its own: a snapshot must not come
  // back after a power cut that kept the marker's removal or the registry's, written later.
  return ::unlink(path.c_str()) == 0 && syncDirectory(parentFolder(path));
}

std::string PosixPlatform::currentDirectory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// The owner library's side ----------------------------------------------------------

namespace {

// The first error among steps that each answer 0 or an errno value.
int firstFailure(std::initializer_list<int> results) {
  for (const int result : results) {
    if (result != 0) return result;
  }
  return 0;
}

}  // namespace

int PosixPlatform::writeFileAtomically(const std::string& path, const std::string& bytes) {
  return replaceFile(parentFolder(path), path, bytes);
}

bool PosixPlatform::isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

namespace {

// Reads exactly sizeof(int) from `fd`, or learns that the writer went away first.
bool readAnswer(int fd, int& answer) {
  for (;;) {
    const ssize_t count = ::read(fd, &answer, sizeof answer);
    if (count < 0 && errno == EINTR) continue;
    return count == static_cast<ssize_t>(sizeof answer);
  }
}

// A caller that made itself a child subreaper (Linux) gets the process back as its own
// child once the intermediate exits. A thread of ours then waits for it, so that no
// zombie of ours is left for the caller; it sleeps in waitpid, costing no wake-ups.
void reapIfAdopted([[maybe_unused]] int pid) {
#if defined(__linux__)
  int subreaper = 0;
  if (pid <= 0 || ::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) != 0 || subreaper == 0) return;
  try {
    std::thread([pid] {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the caller reaps it, as a subreaper must anyway.
  }
#endif
}

// Spawns through an intermediate that exits at once: the process it starts is reparented
// and reaped by the system, never by us, and the intermediate is reaped here, by PID.
int spawnOrphan(const char* executable, const posix_spawn_file_actions_t& actions, const posix_spawnattr_t& attributes,
                char* const* argv) {
  int channel[2];
#if defined(__APPLE__)
  if (::pipe(channel) != 0) return -errno;
  for (const int fd : channel) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(channel, O_CLOEXEC) != 0) return -errno;
#endif
  const UniqueFd reader(channel[0]);
  UniqueFd writer(channel[1]);
  const pid_t middle = ::fork();
  if (middle < 0) return -errno;
  if (middle == 0) {
    // Only async-signal-safe calls here: the parent may have other threads.
    pid_t child = 0;
    const int error = ::posix_spawn(&child, executable, &actions, &attributes, argv, environ);
    const int answer = error == 0 ? child : -error;
    const ssize_t written = ::write(writer.get(), &answer, sizeof answer);
    ::_exit(written == static_cast<ssize_t>(sizeof answer) ? 0 : 1);
  }
  writer.reset();
  int answer = -ECHILD;
  if (!readAnswer(reader.get(), answer)) answer = -ECHILD;
  // ECHILD: the application ignores SIGCHLD or reaped it first; either way it is gone.
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  reapIfAdopted(answer);
  return answer;
}

}  // namespace

int PosixPlatform::startDetached(const std::string& executable, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (const int error = ::posix_spawn_file_actions_init(&actions); error != 0) return -error;
  posix_spawnattr_t attributes;
  if (const int error = ::posix_spawnattr_init(&attributes); error != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return -error;
  }
  // The caller's handlers and mask mean nothing to the child; a blocked or ignored
  // signal could make it unkillable or unaware of its own end.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
  // Only the descriptors the file actions name are inherited.
  flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
#endif
  int error =
      firstFailure({::posix_spawnattr_setflags(&attributes, flags), ::posix_spawnattr_setsigdefault(&attributes, &all),
                    ::posix_spawnattr_setsigmask(&attributes, &none)});
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (error == 0) {
      error =
          ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
  }
#if !defined(__APPLE__)
  if (error == 0) error = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  const int answer = error == 0 ? spawnOrphan(executable.c_str(), actions, attributes, argv.data()) : -error;
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return answer;
}

std::optional<std::int64_t> PosixPlatform::processStartTime(int pid) {
  if (pid <= 0) return std::nullopt;
#if defined(__APPLE__)
  proc_bsdinfo info{};
  constexpr int size = static_cast<int>(PROC_PIDTBSDINFO_SIZE);
  if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, size) != size || info.pbi_status == SZOMB) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(info.pbi_start_tvsec) * 1000000 + static_cast<std::int64_t>(info.pbi_start_tvusec);
#else
  // Field 22 of /proc/PID/stat, in clock ticks since boot; the name (field 2) may hold
  // spaces and parentheses, so fields are counted from its closing one.
  std::string stat;
  if (readRegularFile("/proc/" + std::to_string(pid) + "/stat", 4096, stat) != FileRead::read) return std::nullopt;
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(stat).substr(close + 1);
  std::vector<std::string_view> fields;
  while (!rest.empty()) {
    const auto start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const auto end = std::min(rest.find(' '), rest.size());
    fields.push_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X") return std::nullopt;
  std::int64_t ticks = 0;
  const auto [end, failure] = std::from_chars(fields[19].data(), fields[19].data() + fields[19].size(), ticks);
  if (failure != std::errc() || end != fields[19].data() + fields[19].size()) return std::nullopt;
  return ticks;
#endif
}

std::optional<std::string> PosixPlatform::executablePath(int pid) {
#if defined(__APPLE__)
  char path[4 * 1024];  // PROC_PIDPATHINFO_MAXSIZE
  const int length = ::proc_pidpath(pid, path, sizeof path);
  if (length <= 0) return std::nullopt;
  return std::string(path, static_cast<std::size_t>(length));
#else
  std::string path(4096, '\0');
  const ssize_t length = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) == path.size()) return std::nullopt;
  path.resize(static_cast<std::size_t>(length));
  return path;
#endif
}

bool PosixPlatform::domainReadable(const std::string& domain) {
  const std::string folder = preferencesDirectory();
  if (folder.empty() || domain.empty() || domain.find('/') != std::string::npos) return true;
  std::string contents;
  switch (readRegularFile(folder + "/" + domain + ".plist", maxReadFileSize, contents)) {
    case FileRead::missing: return true;
    case FileRead::failed: return false;
    case FileRead::read: break;
  }
  const auto parsed = parsePropertyList(contents);
  return parsed && parsed->get<PlistDictionary>() != nullptr;
}

bool PosixPlatform::flushStoredDomain(const std::string& domain) {
  const std::string folder = preferencesDirectory();
  if (folder.empty() || domain.empty() || domain.find('/') != std::string::npos) return true;
  // What cannot be opened (a sandbox denies the Dock's file) cannot be flushed from here.
  const UniqueFd file(::open((folder + "/" + domain + ".plist").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.valid() && !flushToStableStorage(file.get())) return false;
  const UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return !directory.valid() || flushToStableStorage(directory.get());
}

// The registry --------------------------------------------------------------------------
// One symbolic link per session, named after a hash of the snapshot's path and pointing
// at it; `.lock`, locked with flock, serializes the owners that consult it.

namespace {

std::string entryName(const std::string& snapshotPath) {
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (const unsigned char c : snapshotPath) hash = (hash ^ c) * 1099511628211ULL;
  constexpr char digits[] = "0123456789abcdef";
  std::string name(16, '0');
  for (std::size_t i = name.size(); i-- > 0; hash >>= 4) name[i] = digits[hash & 0xF];
  return name;
}

std::optional<std::string> linkTarget(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) == target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// Only a folder of the user's own that no one else may write holds entries we trust.
bool isPrivateFolder(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

namespace {

// Whether `fd` is still the file at `path`: a holder that created the lock file removes
// it again when nothing was registered, and a lock on a removed file locks nothing.
bool isFileAt(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// Takes the lock on `fd`, waiting for other holders at most until `deadline` (none: for
// as long as it takes). Contention is rare and brief, so a bounded wait polls.
bool lockFile(int fd, std::optional<std::chrono::steady_clock::time_point> deadline) {
  const int operation = deadline ? LOCK_EX | LOCK_NB : LOCK_EX;
  for (;;) {
    if (::flock(fd, operation) == 0) return true;
    if (errno == EWOULDBLOCK && deadline && std::chrono::steady_clock::now() < *deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

RegistryAccess PosixPlatform::lockRegistry(bool create, std::optional<double> limitSeconds) {
  const std::string folder = sessionRegistryDirectory();
  if (folder.empty()) return RegistryAccess::absent;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (limitSeconds) {
    deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(*limitSeconds));
  }
  const std::string path = folder + "/.lock";
  // Each round that fails found the registry removed by a refused begin meanwhile; a
  // hundred in a row cannot happen but a loop without a bound could.
  for (int round = 0; round < 100; ++round) {
    std::vector<std::string> created;
    if (create ? !makeDirectories(folder, &created) : false) return RegistryAccess::absent;
    if (!isPrivateFolder(folder)) return RegistryAccess::absent;
    bool createdLock = true;
    UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid() && errno == EEXIST) {
      createdLock = false;
      lock = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    }
    if (!lock.valid()) {
      if (errno == ENOENT) continue;
      return RegistryAccess::absent;
    }
    if (!lockFile(lock.get(), deadline)) {
      if (errno != EWOULDBLOCK) return RegistryAccess::absent;
      registry_ = folder;
      return RegistryAccess::busy;
    }
    if (!isFileAt(lock.get(), path)) continue;
    registryLock_ = std::move(lock);
    registry_ = folder;
    if (createdLock) created.push_back(path);
    registryCreated_ = std::move(created);
    return RegistryAccess::locked;
  }
  return RegistryAccess::absent;
}

bool PosixPlatform::lockSessionRegistry() { return lockRegistry(true, std::nullopt) == RegistryAccess::locked; }

RegistryAccess PosixPlatform::lockExistingSessionRegistry(double limitSeconds) {
  return lockRegistry(false, limitSeconds);
}

void PosixPlatform::unlockSessionRegistry() {
  // What this lock created goes again, the lock file first and while still locked, when
  // no session came of it.
  if (registryLock_.valid() && !registryCreated_.empty() && registeredSnapshots().empty()) {
    // The innermost first: the lock file, then the folders up to the topmost created.
    for (; !registryCreated_.empty(); registryCreated_.pop_back()) {
      const std::string& path = registryCreated_.back();
      if (path == registry_ + "/.lock" ? ::unlink(path.c_str()) != 0 : ::rmdir(path.c_str()) != 0) break;
    }
  }
  registryCreated_.clear();
  registryLock_.reset();
  registry_.clear();
}

std::vector<std::string> PosixPlatform::registeredSnapshots() {
  std::vector<std::string> paths;
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(registry_.empty() ? nullptr : ::opendir(registry_.c_str()),
                                                   ::closedir);
  if (!folder) return paths;
  while (const dirent* entry = ::readdir(folder.get())) {
    if (entry->d_name[0] == '.') continue;
    if (auto target = linkTarget(registry_ + "/" + entry->d_name)) paths.push_back(std::move(*target));
  }
  std::ranges::sort(paths);
  return paths;
}

bool PosixPlatform::registerSnapshot(const std::string& path) {
  if (registry_.empty()) return false;
  const std::string entry = registry_ + "/" + entryName(path);
  if (linkTarget(entry) == path) return true;
  ::unlink(entry.c_str());
  return ::symlink(path.c_str(), entry.c_str()) == 0 && syncDirectory(registry_);
}

void PosixPlatform::unregisterSnapshot(const std::string& path) {
  if (registry_.empty()) return;
  const std::string entry = registry_ + "/" + entryName(path);
  if (linkTarget(entry) == path && ::unlink(entry.c_str()) == 0) syncDirectory(registry_);
}

int PosixPlatform::processId() { return ::getpid(); }

bool PosixPlatform::randomBytes(std::span<std::uint8_t> bytes) {
  // getentropy gives at most 256 bytes a call.
  while (!bytes.empty()) {
    const std::size_t count = std::min<std::size_t>(bytes.size(), 256);
    if (::getentropy(bytes.data(), count) != 0) return false;
    bytes = bytes.subspan(count);
  }
  return true;
}
