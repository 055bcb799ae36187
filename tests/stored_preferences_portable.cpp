#include <fstream>
#include <iterator>

#include "platform/portable/plist_reader.h"
#include "platform/portable/preferences_store.h"
#include "stored_preferences.h"

std::optional<PlistValue> storedPreference(const std::string& domain, const std::string& key) {
  std::ifstream in(PreferencesStore::defaultDirectory() + "/" + domain + ".plist", std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto document = readPropertyList(bytes);
  const auto* entries = document ? document->get<PlistDictionary>() : nullptr;
  const auto* value = entries != nullptr ? lookup(*entries, key) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}
