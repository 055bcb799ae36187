// Compiled to nothing unless the build asks for CoreFoundation's backend.
#if defined(DOCK_RESTORE_WITH_COREFOUNDATION)
#include "platform/corefoundation/cf_owner.h"

#include <CoreFoundation/CoreFoundation.h>

#include "platform/corefoundation/cf_property_list.h"
#include "platform/corefoundation/cf_ref.h"
#include "platform/platform.h"

std::optional<PlistValue> readCFPreference(const std::string& domain, const std::string& key) {
  const auto cfDomain = cfStringFromUtf8(domain);
  const auto cfKey = cfStringFromUtf8(key);
  if (!cfDomain || !cfKey) return std::nullopt;
  // Another process (the user in System Settings, `defaults`) may have changed it.
  CFPreferencesAppSynchronize(cfDomain.get());
  const CFRef<CFPropertyListRef> stored(CFPreferencesCopyAppValue(cfKey.get(), cfDomain.get()));
  if (!stored) return std::nullopt;
  return plistValueFromCF(stored.get(), plistBudget(0));
}

std::optional<std::string> writeCFPropertyList(const PlistValue& value) {
  const auto object = cfPropertyListFrom(value);
  if (!object) return std::nullopt;
  const CFRef<CFDataRef> data(
      CFPropertyListCreateData(kCFAllocatorDefault, object.get(), kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data.get())),
                     static_cast<std::size_t>(CFDataGetLength(data.get())));
}

#endif
