#include "restore/dock_settings.h"

#include "values/coercions.h"

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

void restoreDockSettings(Platform& platform, const PlistDictionary& settings) {
  const std::string domain(dockDomain);
  for (const auto key : DockSettingKeys) {
    platform.setPreference(domain, std::string(key), preferenceFromEntry(lookup(settings, key)));
  }
  platform.synchronizePreferences(domain);
}
