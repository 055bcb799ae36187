#pragma once

#include <optional>
#include <string>

#include "values/plist_value.h"

// What the build's preferences store holds under `key` in `domain` for the current user,
// read the way that store is read on its own platform; nothing when the key is absent.
// One definition per backend, chosen with it.
std::optional<PlistValue> storedPreference(const std::string& domain, const std::string& key);
