#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "platform/owner_platform.h"
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

// The type an entry records for `value`: "bool", "number" or "string".
std::string_view entryType(const PreferenceValue& value);

// `value` as a recorded entry.
PlistDictionary settingEntry(const PreferenceValue& value);

// Writes or deletes each of the six keys from `settings`, then synchronizes the
// Dock's domain once.
void restoreDockSettings(Platform& platform, const PlistDictionary& settings);

// What sessions applied to the Dock, by key, as entries of the same shape as the
// settings. Nothing when a snapshot records none (its owner writes its own): then each
// of the six keys counts as changed by it.
using AppliedRecord = std::optional<PlistDictionary>;

// The six keys as the Dock holds them now, a key that is not set left out; nothing
// when the domain cannot be read, so that what each holds is unknown.
std::optional<PlistDictionary> readDockValues(OwnerPlatform& platform);

// Whether a recovery writes `key` back: with no record, always; with one, only when a
// session applied it and the Dock (`dockNow`) still holds that value. Every other key
// is the user's, changed during the session or never touched by it. Where that cannot
// be told (the domain, the value or the entry does not read), the key is put back: a
// Dock left hidden is the worse error.
bool putsBack(const AppliedRecord& applied, std::string_view key, const std::optional<PlistDictionary>& dockNow);

// restoreDockSettings for the keys putsBack names, reading the Dock first; all six
// without a record.
void restoreChangedSettings(OwnerPlatform& platform, const PlistDictionary& settings, const AppliedRecord& applied);

// Adds what `from` records to `into`. Where both record a key, the value the Dock
// holds now is kept, as the one applied last. No record in either gives none.
void mergeApplied(AppliedRecord& into, const AppliedRecord& from, const std::optional<PlistDictionary>& dockNow);
