#include "platform/corefoundation/cf_owner.h"

#include <cstdint>
#include <limits>
#include <type_traits>

#include <CoreFoundation/CoreFoundation.h>

#include "platform/corefoundation/cf_property_list.h"
#include "platform/corefoundation/cf_ref.h"
#include "platform/platform.h"

namespace {

// The CoreFoundation object for `value`; null when part of it has no such object.
CFRef<CFTypeRef> cfObject(const PlistValue& value) {
  return std::visit(
      [](const auto& v) -> CFRef<CFTypeRef> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return CFRef<CFTypeRef>(CFRetain(v ? kCFBooleanTrue : kCFBooleanFalse));
        } else if constexpr (std::is_same_v<T, PlistInteger>) {
          if (v.value < std::numeric_limits<std::int64_t>::min() ||
              v.value > std::numeric_limits<std::int64_t>::max()) {
            return CFRef<CFTypeRef>();
          }
          const auto integer = static_cast<std::int64_t>(v.value);
          return CFRef<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &integer));
        } else if constexpr (std::is_same_v<T, double>) {
          return CFRef<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return CFRef<CFTypeRef>(cfStringFromUtf8(v).release());
        } else if constexpr (std::is_same_v<T, PlistDate>) {
          return CFRef<CFTypeRef>(CFDateCreate(kCFAllocatorDefault, v.secondsSince2001));
        } else if constexpr (std::is_same_v<T, PlistData>) {
          return CFRef<CFTypeRef>(CFDataCreate(kCFAllocatorDefault, v.data(), static_cast<CFIndex>(v.size())));
        } else if constexpr (std::is_same_v<T, PlistArray>) {
          CFRef<CFMutableArrayRef> array(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
          if (!array) return CFRef<CFTypeRef>();
          for (const auto& element : v) {
            const auto object = cfObject(element);
            if (!object) return CFRef<CFTypeRef>();
            CFArrayAppendValue(array.get(), object.get());
          }
          return CFRef<CFTypeRef>(array.release());
        } else {
          CFRef<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
              kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
          if (!dictionary) return CFRef<CFTypeRef>();
          for (const auto& [key, element] : v) {
            const auto cfKey = cfStringFromUtf8(key);
            const auto object = cfObject(element);
            if (!cfKey || !object) return CFRef<CFTypeRef>();
            CFDictionarySetValue(dictionary.get(), cfKey.get(), object.get());
          }
          return CFRef<CFTypeRef>(dictionary.release());
        }
      },
      value.storage);
}

}  // namespace

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
  const auto object = cfObject(value);
  if (!object) return std::nullopt;
  const CFRef<CFDataRef> data(
      CFPropertyListCreateData(kCFAllocatorDefault, object.get(), kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data.get())),
                     static_cast<std::size_t>(CFDataGetLength(data.get())));
}
