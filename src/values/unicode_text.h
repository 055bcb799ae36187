#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Unicode canonical equivalence: a precomposed letter equals its decomposed form.
// Text that is not valid UTF-8 compares byte for byte.
bool canonicallyEqual(std::string_view a, std::string_view b);

// The full Unicode lower-case mapping of `text`; nothing when it is not valid UTF-8. A
// final capital sigma may become ς (CoreFoundation) or σ (utf8proc): only ASCII words
// are looked for in the result.
std::optional<std::string> lowercased(std::string_view text);

// The two above come from the backend's Unicode library (utf8proc, or CoreFoundation);
// the rest is plain encoding work, the same in every build.

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates, code points past
// U+10FFFF or cut-off sequences.
bool isValidUtf8(std::string_view text);

// The length of the well-formed UTF-8 sequence at `at` in `text`, or 0 when there is none.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

// Appends code point `c` (a scalar value) to `out` as UTF-8.
void appendUtf8(std::string& out, char32_t c);

// Well-formed UTF-8 as UTF-16 units; nothing when `text` is not well-formed.
std::optional<std::vector<std::uint16_t>> utf16FromUtf8(std::string_view text);

// UTF-16 units as UTF-8. Stored strings may hold any sequence of units (a label cut in
// the middle of an emoji, say); each unpaired surrogate becomes U+FFFD, so that the
// text is valid UTF-8 and the rest of the document stays readable.
std::string utf8FromUtf16(std::span<const std::uint16_t> units);
