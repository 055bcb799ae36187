#include "platform/posix_platform.h"

#include <cerrno>
#include <cmath>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/event.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#endif

#include "platform/regular_file.h"

extern char** environ;

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

namespace {

timespec toTimespec(double seconds) {
  double whole = 0.0;
  const double fraction = std::modf(seconds, &whole);
  return {static_cast<time_t>(whole), static_cast<long>(fraction * 1e9)};
}

double now() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

void PosixPlatform::watchForExit(int pid) {
  exitWatch_.reset();
#if defined(__APPLE__)
  UniqueFd queue(::kqueue());
  if (!queue.valid()) return;
  struct kevent change {};
  EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) return;
  exitWatch_ = std::move(queue);
#elif defined(__linux__) && defined(SYS_pidfd_open)
  exitWatch_ = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
#endif
}

bool PosixPlatform::sleepFor(double seconds) {
  const double deadline = now() + seconds;
  for (double left = seconds; left > 0; left = deadline - now()) {
    if (!exitWatch_.valid()) {
      timespec pause = toTimespec(left);
      ::nanosleep(&pause, nullptr);  // an interrupted sleep resumes with the time left
      continue;
    }
#if defined(__APPLE__)
    const timespec timeout = toTimespec(left);
    struct kevent event {};
    const int ready = ::kevent(exitWatch_.get(), nullptr, 0, &event, 1, &timeout);
    const bool exited = ready > 0 && (event.fflags & NOTE_EXIT) != 0;
#else
    pollfd watch{exitWatch_.get(), POLLIN, 0};
    // Rounded up, so that a pause never ends before its time for want of a millisecond.
    const int ready = ::poll(&watch, 1, static_cast<int>(std::ceil(left * 1000)));
    const bool exited = ready > 0 && (watch.revents & POLLIN) != 0;
#endif
    if (ready < 0 && errno != EINTR) exitWatch_.reset();  // carry on as a plain sleep
    if (exited) return true;
  }
  return false;
}

void PosixPlatform::startOwnSession() {
  // Fails only when the agent already leads a session, which is just as good.
  ::setsid();
}

bool PosixPlatform::launch(const std::string& executable, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // The child's complaints ("no process found") would be the agent speaking; it never does.
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  bool ready = true;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    ready = ready && ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                                        fd == STDIN_FILENO ? O_RDONLY : O_WRONLY,
                                                        0) == 0;
  }
  pid_t child = 0;
  const bool started =
      ready && ::posix_spawn(&child, executable.c_str(), &actions, nullptr, argv.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  return started;
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
