#pragma once

#include <optional>
#include <string>

#include "values/plist_value.h"

// `value` as an XML property-list document, laid out as CoreFoundation writes one; nothing
// when XML cannot hold it exactly: text with characters XML 1.0 excludes (most control
// characters, U+FFFE, U+FFFF) or that is not UTF-8, integers outside -2^63 to 2^64-1,
// dates with fractions of a second or outside the years 1 to 9999.
std::optional<std::string> writeXmlPropertyList(const PlistValue& value);

// `value` as a binary property list ("bplist00"), which holds every value exactly.
// Text is expected as UTF-8; any byte that is not is written as U+FFFD.
std::string writeBinaryPropertyList(const PlistValue& value);
