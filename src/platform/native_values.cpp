#include "platform/native_values.h"

#include <variant>

std::optional<PreferenceValue> storablePreference(std::optional<PreferenceValue> value) {
  if (value) {
    if (const auto* text = std::get_if<std::string>(&*value); text != nullptr && !isValidUtf8(*text)) {
      return std::nullopt;
    }
  }
  return value;
}
