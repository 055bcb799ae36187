#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "values/plist_value.h"
#include "values/unicode_text.h"

// Decisions about values crossing into or out of a native store, kept apart from any
// one store's API so that every build tests them.

// What a native store is given for `value`. Text that is not valid UTF-8 has no native
// form: its key is deleted rather than written with altered text.
std::optional<PreferenceValue> storablePreference(std::optional<PreferenceValue> value);
