#pragma once

#include <array>
#include <string_view>

#include "platform/platform.h"
#include "values/plist_value.h"

inline constexpr std::string_view dockDomain = "com.apple.dock";

// The only keys ever written to or deleted from the Dock's domain, in the order they
// are restored.
inline constexpr std::array<std::string_view, 6> DockSettingKeys = {
    "orientation", "autohide", "autohide-delay", "autohide-time-modifier", "no-bouncing", "launchanim"};

// What a recorded entry ("type" and "value") asks to be written; nothing means the key
// is deleted.
std::optional<PreferenceValue> preferenceFromEntry(const PlistValue* entry);

// Writes or deletes each of the six keys from `settings`, then synchronizes the
// Dock's domain once.
void restoreDockSettings(Platform& platform, const PlistDictionary& settings);
