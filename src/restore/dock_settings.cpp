#include "restore/dock_settings.h"

#include <functional>
#include <string>
#include <utility>

#include "values/coercions.h"
#include "values/unicode_text.h"

namespace {

// Whether `current`, what the Dock holds under a key (nullptr: not set), reads as the
// value `entry` records, by the same lenient readings recovery writes it with: an
// integer 1 is the boolean true. Nothing when the entry or the value does not read.
std::optional<bool> holdsEntry(const PlistValue* current, const PlistValue* entry) {
  const auto* fields = entry != nullptr ? entry->get<PlistDictionary>() : nullptr;
  const auto* typeValue = fields != nullptr ? lookup(*fields, "type") : nullptr;
  const auto* type = typeValue != nullptr ? typeValue->get<std::string>() : nullptr;
  if (type == nullptr) return std::nullopt;
  const auto compare = [recorded = lookup(*fields, "value"), current](auto read, auto equal) -> std::optional<bool> {
    const auto applied = read(recorded);
    if (!applied) return std::nullopt;
    if (current == nullptr) return false;  // the user removed it
    const auto now = read(current);
    if (!now) return std::nullopt;
    return equal(*applied, *now);
  };
  if (*type == "bool") return compare(boolFromValue, std::equal_to<>());
  if (*type == "number") return compare(doubleFromValue, std::equal_to<>());
  if (*type == "string") return compare(stringFromValue, canonicallyEqual);
  return std::nullopt;
}

}  // namespace

std::optional<PreferenceValue> preferenceFromEntry(const PlistValue* entry) {
  const auto* fields = entry != nullptr ? entry->get<PlistDictionary>() : nullptr;
  if (fields == nullptr) return std::nullopt;
  const auto* typeValue = lookup(*fields, "type");
  const auto* type = typeValue != nullptr ? typeValue->get<std::string>() : nullptr;
  if (type == nullptr) return std::nullopt;

  // A recognised type is always written, with false, 0.0 or the empty text standing in
  // for a value that is missing or unreadable.
  const PlistValue* value = lookup(*fields, "value");
  if (*type == "bool") return boolFromValue(value).value_or(false);
  if (*type == "number") return doubleFromValue(value).value_or(0.0);
  if (*type == "string") return stringFromValue(value).value_or(std::string());
  return std::nullopt;
}

std::string_view entryType(const PreferenceValue& value) {
  if (std::holds_alternative<bool>(value)) return "bool";
  if (std::holds_alternative<double>(value)) return "number";
  return "string";
}

PlistDictionary settingEntry(const PreferenceValue& value) {
  return {{"type", std::string(entryType(value))}, {"value", plistValueOf(value)}};
}

void restoreDockSettings(Platform& platform, const PlistDictionary& settings) {
  const std::string domain(dockDomain);
  for (const auto key : DockSettingKeys) {
    platform.setPreference(domain, std::string(key), preferenceFromEntry(lookup(settings, key)));
  }
  platform.synchronizePreferences(domain);
}

std::optional<PlistDictionary> readDockValues(OwnerPlatform& platform) {
  const std::string domain(dockDomain);
  if (!platform.domainReadable(domain)) return std::nullopt;
  PlistDictionary values;
  for (const auto key : DockSettingKeys) {
    if (auto value = platform.readPreference(domain, std::string(key))) values.emplace(key, std::move(*value));
  }
  return values;
}

bool putsBack(const AppliedRecord& applied, std::string_view key, const std::optional<PlistDictionary>& dockNow) {
  if (!applied) return true;
  const auto* entry = lookup(*applied, key);
  if (entry == nullptr) return false;
  if (!dockNow) return true;
  return holdsEntry(lookup(*dockNow, key), entry).value_or(true);
}

void restoreChangedSettings(OwnerPlatform& platform, const PlistDictionary& settings, const AppliedRecord& applied) {
  if (!applied) return restoreDockSettings(platform, settings);
  const auto dockNow = readDockValues(platform);
  const std::string domain(dockDomain);
  for (const auto key : DockSettingKeys) {
    if (putsBack(applied, key, dockNow)) {
      platform.setPreference(domain, std::string(key), preferenceFromEntry(lookup(settings, key)));
    }
  }
  platform.synchronizePreferences(domain);
}

void mergeApplied(AppliedRecord& into, const AppliedRecord& from, const std::optional<PlistDictionary>& dockNow) {
  if (!into) return;
  if (!from) {
    into.reset();
    return;
  }
  for (const auto& [key, entry] : *from) {
    const auto [at, added] = into->try_emplace(key, entry);
    if (!added && dockNow && holdsEntry(lookup(*dockNow, key), &entry) == true) at->second = entry;
  }
}
