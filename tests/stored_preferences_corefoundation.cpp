#include <cstdint>

#include "platform/corefoundation/cf_property_list.h"
#include "stored_preferences.h"

std::optional<PlistValue> storedPreference(const std::string& domain, const std::string& key) {
  // Asked through CoreFoundation: on macOS the file may lag behind cfprefsd.
  const auto cfDomain = cfStringFromUtf8(domain);
  const auto cfKey = cfStringFromUtf8(key);
  const CFRef<CFPropertyListRef> value(CFPreferencesCopyAppValue(cfKey.get(), cfDomain.get()));
  if (!value) return std::nullopt;
  return plistValueFromCF(value.get(), std::uint64_t{1} << 20);
}
