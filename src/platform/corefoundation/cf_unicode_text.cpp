// Canonical equivalence and lower-casing with CoreFoundation, so that the macOS agent
// needs no Unicode library beyond the system's.

// Compiled to nothing unless the build asks for CoreFoundation's backend.
#if defined(DOCK_RESTORE_WITH_COREFOUNDATION)
#include <CoreFoundation/CoreFoundation.h>

#include "platform/corefoundation/cf_ref.h"
#include "values/unicode_text.h"

namespace {

// `text` as a mutable CFString; null when it is not valid UTF-8. Decoded here, not by
// CoreFoundation, whose UTF-8 decoding drops a leading byte order mark.
CFRef<CFMutableStringRef> mutableString(std::string_view text) {
  const auto units = utf16FromUtf8(text);
  if (!units) return {};
  CFRef<CFMutableStringRef> string(CFStringCreateMutable(kCFAllocatorDefault, 0));
  if (string) CFStringAppendCharacters(string.get(), units->data(), static_cast<CFIndex>(units->size()));
  return string;
}

std::string utf8Of(CFStringRef string) {
  std::vector<UniChar> units(static_cast<std::size_t>(CFStringGetLength(string)));
  CFStringGetCharacters(string, CFRangeMake(0, static_cast<CFIndex>(units.size())), units.data());
  return utf8FromUtf16(units);
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const auto stringA = mutableString(a);
  const auto stringB = mutableString(b);
  if (!stringA || !stringB) return false;  // bytes already compared unequal above
  // Equal canonical decompositions are what canonical equivalence means.
  CFStringNormalize(stringA.get(), kCFStringNormalizationFormD);
  CFStringNormalize(stringB.get(), kCFStringNormalizationFormD);
  return CFStringCompare(stringA.get(), stringB.get(), 0) == kCFCompareEqualTo;
}

std::optional<std::string> lowercased(std::string_view text) {
  const auto string = mutableString(text);
  if (!string) return std::nullopt;
  // No locale: the language-neutral full mapping.
  CFStringLowercase(string.get(), nullptr);
  return utf8Of(string.get());
}

#endif
