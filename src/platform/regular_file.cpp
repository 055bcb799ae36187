#include "platform/regular_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace {

std::string octalMode(mode_t mode) {
  std::string digits;
  for (int shift = 9; shift >= 0; shift -= 3) digits += static_cast<char>('0' + ((mode >> shift) & 7));
  return digits;
}

}  // namespace

FileRead readRegularFile(const std::string& path, std::size_t maxSize, std::string& contents, FileWriters writers,
                         std::string* refusal) {
  contents.clear();
  const auto refuse = [&](FileRead result, auto&& describe) {
    if (refusal != nullptr) *refusal = describe();
    return result;
  };
  const auto failedWith = [&](const char* step) {
    const int error = errno;
    return refuse(FileRead::failed, [&] { return std::string(step) + ": " + std::strerror(error); });
  };
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    if (errno == ENOENT) return refuse(FileRead::missing, [] { return std::string("there is no file there"); });
    return failedWith("it cannot be opened");
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return failedWith("it cannot be examined");
  if (!S_ISREG(status.st_mode)) {
    return refuse(FileRead::failed, [&] {
      return std::string(S_ISDIR(status.st_mode) ? "it is a folder"
                                                 : "it is not a regular file (a FIFO, device or socket)");
    });
  }
  if (static_cast<std::size_t>(status.st_size) > maxSize) {
    return refuse(FileRead::failed, [&] {
      return "it holds " + std::to_string(status.st_size) + " bytes, more than the " + std::to_string(maxSize) +
             " read";
    });
  }
  // Checked on the open file, so that a swap after the check changes nothing. On macOS
  // every local user's primary group is staff: group-writable is anyone's.
  if (writers == FileWriters::ownUser && status.st_uid != ::geteuid()) {
    return refuse(FileRead::failed, [&] {
      return "it belongs to user " + std::to_string(status.st_uid) + ", not to the reader, user " +
             std::to_string(::geteuid());
    });
  }
  if (writers == FileWriters::ownUser && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return refuse(FileRead::failed, [&] {
      return "its mode " + octalMode(status.st_mode & 07777) + " lets its group or other users write it";
    });
  }

  // The writer may be changing the file as we read: read to its end, whatever the size
  // said, but never past the bound. One spare byte lets the usual read end at once.
  contents.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == contents.size()) {
      if (contents.size() > maxSize) {
        return refuse(FileRead::failed, [] { return std::string("it grew past the size read while being read"); });
      }
      contents.resize(contents.size() * 2);
    }
    const std::size_t wanted = contents.size() - used;
    const ssize_t count = ::read(file.get(), contents.data() + used, wanted);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return failedWith("reading it failed");
    used += static_cast<std::size_t>(count);
    // A regular file reads short only at its end: no second call to learn that.
    if (static_cast<std::size_t>(count) < wanted) break;
  }
  contents.resize(used);
  return FileRead::read;
}

bool flushToStableStorage(int fd) {
#if defined(__APPLE__)
  // fsync there only hands the data to the drive, which may keep it in its cache past a
  // power cut. F_FULLFSYNC, not F_BARRIERFSYNC: a barrier orders this drive's writes, not
  // the preference write another process makes next, perhaps to another volume. File
  // systems that refuse it (some network and FAT ones) get fsync, as SQLite does.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return ::fsync(fd) == 0;
}

bool syncDirectory(const std::string& path) {
  const UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.valid() && flushToStableStorage(directory.get());
}

namespace {

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return 0;
}

}  // namespace

int replaceFile(const std::string& directory, const std::string& path, std::string_view bytes) {
  std::string temporary = path + ".XXXXXX";
  UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) return errno;
  int error = ::fchmod(file.get(), 0600) != 0 ? errno : writeAll(file.get(), bytes);
  if (error == 0 && !flushToStableStorage(file.get())) error = errno;
  if (error == 0 && !file.close()) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  return syncDirectory(directory) ? 0 : errno;
}
