#include "platform/posix_platform.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__APPLE__) && __has_include(<libproc.h>)
#include <libproc.h>  // proc_pidpath; declared elsewhere where it is absent
#endif

#include "platform/regular_file.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not in every unistd.h

namespace {

// What a terminal sends its session and foreground job.
constexpr int terminalSignals[] = {SIGINT, SIGQUIT, SIGHUP};

}  // namespace

std::optional<std::string> PosixPlatform::readFile(const std::string& path) {
  std::string contents;
  // A snapshot another local user could have written is no record of ours.
  if (readRegularFile(path, maxReadFileSize, contents, FileWriters::ownUser) != FileRead::read) {
    return std::nullopt;
  }
  return contents;
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
  const int child = startDetached(executable, arguments);
  if (child <= 0) return false;
  launched_.push_back(child);
  return true;
}

bool PosixPlatform::removeFile(const std::string& path) {
  // unlink removes a file or a link and refuses a directory, which is never ours to remove.
  return ::unlink(path.c_str()) == 0;
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
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return replaceFile(directory, path, bytes);
}

bool PosixPlatform::isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

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
  pid_t child = 0;
  if (error == 0) error = ::posix_spawn(&child, executable.c_str(), &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? child : -error;
}

ProcessState PosixPlatform::childState(int pid) {
  for (;;) {
    int status = 0;
    const pid_t answer = ::waitpid(pid, &status, WNOHANG);
    if (answer == 0) return ProcessState::alive;
    if (answer == pid) return ProcessState::gone;
    if (errno == EINTR) continue;
    // Reaped by someone else, or SIGCHLD ignored: only a probe can tell.
    return probeProcess(pid);
  }
}

void PosixPlatform::reapLaunched() {
  std::erase_if(launched_, [this](int pid) { return childState(pid) == ProcessState::gone; });
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
