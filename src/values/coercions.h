#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "values/plist_value.h"

// Lenient readings of recorded values. Each answers nothing when it cannot produce a
// value; the callers pick their own defaults. An absent value (nullptr) gives nothing.

std::optional<bool> boolFromValue(const PlistValue* value);
std::optional<std::int64_t> integerFromValue(const PlistValue* value);
std::optional<double> doubleFromValue(const PlistValue* value);
std::optional<std::string> stringFromValue(const PlistValue* value);

// An optional sign followed by ASCII digits only, within the signed range of `bits`
// (32 or 64).
std::optional<std::int64_t> parseDecimalInteger(std::string_view text, int bits);

// C-locale strtod syntax over the whole text; leading white space is refused.
std::optional<double> parseDouble(std::string_view text);
