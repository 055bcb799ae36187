#include "platform/regular_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_fd.h"

FileRead readRegularFile(const std::string& path, std::size_t maxSize, std::string& contents, FileWriters writers) {
  contents.clear();
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) return errno == ENOENT ? FileRead::missing : FileRead::failed;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > maxSize) {
    return FileRead::failed;
  }
  // Checked on the open file, so that a swap after the check changes nothing.
  if (writers == FileWriters::ownUser && (status.st_uid != ::geteuid() || (status.st_mode & S_IWOTH) != 0)) {
    return FileRead::failed;
  }

  // The writer may be changing the file as we read: read to its end, whatever the size
  // said, but never past the bound. One spare byte lets the usual read end at once.
  contents.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == contents.size()) {
      if (contents.size() > maxSize) return FileRead::failed;
      contents.resize(contents.size() * 2);
    }
    const std::size_t wanted = contents.size() - used;
    const ssize_t count = ::read(file.get(), contents.data() + used, wanted);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return FileRead::failed;
    used += static_cast<std::size_t>(count);
    // A regular file reads short only at its end: no second call to learn that.
    if (static_cast<std::size_t>(count) < wanted) break;
  }
  contents.resize(used);
  return FileRead::read;
}

bool syncDirectory(const std::string& path) {
  const UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.valid() && ::fsync(directory.get()) == 0;
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
  if (error == 0 && ::fsync(file.get()) != 0) error = errno;
  if (error == 0 && !file.close()) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  return syncDirectory(directory) ? 0 : errno;
}
