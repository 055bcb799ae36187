#include "platform/user_paths.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/regular_file.h"

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;

  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  // Some entries do not fit the suggested size; grow the buffer up to a sane bound.
  while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr) return {};
  return found->pw_dir;
}

std::string parentOf(const std::string& path) {
  const auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const auto slash = path.find_last_of('/', end);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool makeDirectories(const std::string& path, std::vector<std::string>* created) {
  int error = ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
  if (error == ENOENT) {
    const std::string parent = parentOf(path);
    if (parent == path || !makeDirectories(parent, created)) return false;
    error = ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
  }
  // EEXIST also when another thread or process made it since we looked: theirs is as good.
  if (error == EEXIST) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }
  if (error != 0) return false;
  if (created != nullptr) created->push_back(path);
  // The umask may have taken bits away; a new folder must still be usable by its owner.
  return ::chmod(path.c_str(), 0700) == 0 && syncDirectory(parentOf(path));
}

namespace {

// The home folder as a prefix: "" for "/", so that no path starts with "//".
std::string homePrefix() {
  const std::string home = homeDirectory();
  return home == "/" ? std::string() : home;
}

}  // namespace

std::string sessionRegistryDirectory() {
  if (homeDirectory().empty()) return {};
#if defined(__APPLE__)
  return homePrefix() + "/Library/Application Support/dock-restore/sessions";
#else
  return homePrefix() + "/.local/state/dock-restore/sessions";
#endif
}

std::string configDirectory() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/' && configHome[1] != '\0') return configHome;
  if (homeDirectory().empty()) return {};
  return homePrefix() + "/.config";
}

std::string coreFoundationPreferencesDirectory() {
#if defined(__APPLE__)
  if (homeDirectory().empty()) return {};
  return homePrefix() + "/Library/Preferences";
#else
  return configDirectory();
#endif
}
