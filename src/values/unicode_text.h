#pragma once

#include <optional>
#include <string>
#include <string_view>

// Unicode canonical equivalence: a precomposed letter equals its decomposed form.
// Text that is not valid UTF-8 compares byte for byte.
bool canonicallyEqual(std::string_view a, std::string_view b);

// The full Unicode lower-case mapping of `text`; nothing when it is not valid UTF-8.
std::optional<std::string> lowercased(std::string_view text);
