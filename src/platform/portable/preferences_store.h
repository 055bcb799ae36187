#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/platform.h"

// Preference domains as files "<directory>/<domain>.plist", with CoreFoundation's
// semantics: changes are recorded in memory and applied by synchronize, which merges
// them into what is on disk at that moment and replaces the file atomically.
class PreferencesStore {
 public:
  explicit PreferencesStore(std::string directory);

  // Where CoreFoundation keeps a user's domains off macOS: $XDG_CONFIG_HOME when it is
  // an absolute path longer than one character, else $HOME/.config.
  static std::string defaultDirectory();
  const std::string& directory() const { return directory_; }

  void set(const std::string& domain, const std::string& key, const std::optional<PreferenceValue>& value);
  bool synchronize(const std::string& domain);

  // What `key` holds in `domain`: a change not yet synchronized, else what is on disk.
  std::optional<PlistValue> value(const std::string& domain, const std::string& key) const;

 private:
  std::string directory_;
  // Per domain, per key: the new value, or nothing for a deletion.
  std::map<std::string, std::map<std::string, std::optional<PreferenceValue>>> pending_;
};
