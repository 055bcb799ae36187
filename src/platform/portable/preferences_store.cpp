// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include "platform/portable/preferences_store.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/portable/plist_reader.h"
#include "platform/portable/plist_writer.h"
#include "platform/regular_file.h"
#include "platform/unique_fd.h"
#include "platform/user_paths.h"

namespace {

// A domain file larger than this is not one we wrote or should rewrite.
constexpr std::size_t maxDomainFileSize = std::size_t{16} << 20;

// Refuses names that would put the file outside the folder or cannot be a file name.
bool isValidDomainName(const std::string& domain) {
  return !domain.empty() && domain != "." && domain != ".." &&
         domain.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// An empty domain is no file at all, as CoreFoundation leaves it.
bool removeFile(const std::string& directory, const std::string& path) {
  if (::unlink(path.c_str()) != 0) return errno == ENOENT;
  return syncDirectory(directory);
}

// Whether storing `change` under a key that currently holds `current` alters anything.
// Reals compare by representation, so that 0.0 replacing -0.0 is still written.
bool changes(const PlistValue* current, const std::optional<PreferenceValue>& change) {
  if (current == nullptr || !change) return current != nullptr || change.has_value();
  const PlistValue next = plistValueOf(*change);
  const auto* currentReal = current->get<double>();
  const auto* nextReal = next.get<double>();
  if (currentReal != nullptr && nextReal != nullptr) {
    return std::bit_cast<std::uint64_t>(*currentReal) != std::bit_cast<std::uint64_t>(*nextReal);
  }
  return *current != next;
}

// The domain as a file: every key as it was read. A binary file stays binary; an XML one
// stays XML unless a value cannot be held by XML text (a control character, say).
std::string document(const PlistDictionary& dictionary, bool wasBinary) {
  if (!wasBinary) {
    if (auto xml = writeXmlPropertyList(dictionary)) return std::move(*xml);
  }
  return writeBinaryPropertyList(dictionary);
}

}  // namespace

PreferencesStore::PreferencesStore(std::string directory) : directory_(std::move(directory)) {}

std::string PreferencesStore::defaultDirectory() { return configDirectory(); }

void PreferencesStore::set(const std::string& domain, const std::string& key,
                           const std::optional<PreferenceValue>& value) {
  pending_[domain][key] = value;
}

bool PreferencesStore::synchronize(const std::string& domain) {
  if (!isValidDomainName(domain) || directory_.empty()) return false;
  const auto pending = pending_.find(domain);
  if (pending == pending_.end()) return true;

  const std::string path = directory_ + "/" + domain + ".plist";
  std::string contents;
  PlistDictionary dictionary;
  bool wasBinary = false;
  switch (readRegularFile(path, maxDomainFileSize, contents)) {
    case FileRead::failed: return false;
    case FileRead::missing: break;
    case FileRead::read: {
      // A file we cannot understand may hold someone's settings: never overwrite it.
      auto parsed = readPropertyList(contents);
      auto* existing = parsed ? std::get_if<PlistDictionary>(&parsed->storage) : nullptr;
      if (existing == nullptr) return false;
      dictionary = std::move(*existing);
      wasBinary = contents.starts_with("bplist00");
      break;
    }
  }

  bool changed = false;
  for (const auto& [key, value] : pending->second) {
    if (!changes(lookup(dictionary, key), value)) continue;
    changed = true;
    if (value) {
      dictionary.insert_or_assign(key, plistValueOf(*value));
    } else {
      dictionary.erase(key);
    }
  }

  if (changed) {
    const bool stored = dictionary.empty() ? removeFile(directory_, path)
                                           : makeDirectories(directory_) &&
                                                 replaceFile(directory_, path, document(dictionary, wasBinary)) == 0;
    // Failed changes stay pending, so the next synchronize tries them again.
    if (!stored) return false;
  }
  pending_.erase(pending);
  return true;
}

std::optional<PlistValue> PreferencesStore::value(const std::string& domain, const std::string& key) const {
  if (const auto pending = pending_.find(domain); pending != pending_.end()) {
    if (const auto change = pending->second.find(key); change != pending->second.end()) {
      if (!change->second) return std::nullopt;
      return plistValueOf(*change->second);
    }
  }
  if (!isValidDomainName(domain) || directory_.empty()) return std::nullopt;
  std::string contents;
  if (readRegularFile(directory_ + "/" + domain + ".plist", maxDomainFileSize, contents) != FileRead::read) {
    return std::nullopt;
  }
  auto parsed = readPropertyList(contents);
  const auto* stored = parsed ? parsed->get<PlistDictionary>() : nullptr;
  const PlistValue* found = stored != nullptr ? lookup(*stored, key) : nullptr;
  if (found == nullptr) return std::nullopt;
  return *found;
}

#endif
