#pragma once

#include <optional>
#include <string_view>

#include "platform/platform.h"
#include "values/plist_value.h"

// A property list in XML or binary ("bplist00") form, or nothing when the bytes are
// neither or do not parse. Never crashes or hangs, and uses memory in proportion to
// the input, whatever the bytes hold.
std::optional<PlistValue> readPropertyList(std::string_view bytes);

std::optional<PlistValue> readXmlPropertyList(std::string_view bytes);
std::optional<PlistValue> readBinaryPropertyList(std::string_view bytes);
