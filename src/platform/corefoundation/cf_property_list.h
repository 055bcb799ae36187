#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <CoreFoundation/CoreFoundation.h>

#include "platform/corefoundation/cf_ref.h"
#include "values/plist_value.h"

// A CFString holding the text `utf8`; null when the bytes are not UTF-8.
CFRef<CFStringRef> cfStringFromUtf8(std::string_view utf8);

// `object` and all it holds as a PlistValue. Nothing when it holds something that is not
// a property-list type, a dictionary key that is not a string, containers nested deeper
// than maxPlistDepth, or more than about `budget` bytes' worth of values once every
// shared object is copied wherever it is referenced.
std::optional<PlistValue> plistValueFromCF(CFTypeRef object, std::uint64_t budget);

// The CoreFoundation object for `value`; null when part of it has no such object (text
// that is not UTF-8, an integer beyond the signed 64-bit range).
CFRef<CFTypeRef> cfPropertyListFrom(const PlistValue& value);

// The binary, XML or OpenStep property list in `bytes`, as CoreFoundation reads it;
// nothing when the bytes are none of them, and then `failure` (if given) says why, in
// CoreFoundation's words where it found the fault (with the line, for XML).
std::optional<PlistValue> readCFPropertyList(std::string_view bytes, std::string* failure = nullptr);
