#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "values/plist_value.h"

// Decisions about values crossing into or out of a native store, kept apart from any
// one store's API so that every build tests them.

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates, code points past
// U+10FFFF or cut-off sequences.
bool isValidUtf8(std::string_view text);

// A native string's UTF-16 units as UTF-8. A native string may hold any sequence of
// units; each unpaired surrogate becomes U+FFFD, as in the portable binary reader, so
// that the text is valid UTF-8 and the rest of the document stays readable.
std::string utf8FromUtf16(std::span<const std::uint16_t> units);

// The integer kept for a stored integer beyond the signed 64-bit range when all a native
// number will tell of it is its nearest double, `approximation`: that double, limited to
// the 128-bit range and kept outside the 64-bit one, so that the sign and magnitude
// survive and no reading can take it for a small number.
PlistInteger integerBeyond64Bits(double approximation);

// What a native store is given for `value`. Text that is not valid UTF-8 has no native
// form: its key is deleted rather than written with altered text.
std::optional<PreferenceValue> storablePreference(std::optional<PreferenceValue> value);
