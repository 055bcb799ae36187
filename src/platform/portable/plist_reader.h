#pragma once

#include <optional>
#include <string_view>

#include "values/plist_value.h"

// Containers nested deeper than this make a document unreadable (the limit
// CoreFoundation applies on macOS).
inline constexpr int maxPlistDepth = 512;

// A property list in XML or binary ("bplist00") form, or nothing when the bytes are
// neither or do not parse. Never crashes or hangs, and uses memory in proportion to
// the input, whatever the bytes hold.
std::optional<PlistValue> readPropertyList(std::string_view bytes);

std::optional<PlistValue> readXmlPropertyList(std::string_view bytes);
std::optional<PlistValue> readBinaryPropertyList(std::string_view bytes);
