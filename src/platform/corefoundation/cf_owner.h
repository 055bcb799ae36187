#pragma once

#include <optional>
#include <string>

#include "values/plist_value.h"

// The owner library's uses of CoreFoundation.

// `key` of `domain` for the current user, any host, after refreshing the domain.
std::optional<PlistValue> readCFPreference(const std::string& domain, const std::string& key);

// `value` as an XML property list, written by CoreFoundation; nothing when it holds
// text that is not UTF-8 or an integer beyond the signed 64-bit range.
std::optional<std::string> writeCFPropertyList(const PlistValue& value);
