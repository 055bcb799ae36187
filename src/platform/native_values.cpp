#include "platform/native_values.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <variant>

PlistInteger integerBeyond64Bits(double approximation) {
  constexpr PlistInt128 int128Max = (PlistInt128{1} << 126) - 1 + (PlistInt128{1} << 126);
  constexpr PlistInt128 int128Min = -int128Max - 1;
  constexpr PlistInt128 firstAbove64 = static_cast<PlistInt128>(std::numeric_limits<std::int64_t>::max()) + 1;
  constexpr PlistInt128 firstBelow64 = static_cast<PlistInt128>(std::numeric_limits<std::int64_t>::min()) - 1;
  // 2^127: the first double past the 128-bit range.
  constexpr double limit = 0x1p127;

  // The rounding to a double may land exactly on the 64-bit edge (-2^63), or past the
  // 128-bit range (2^127); NaN never comes from an integer, and counts as positive.
  if (approximation < 0) {
    if (approximation < -limit) return {int128Min};
    return {std::min(static_cast<PlistInt128>(approximation), firstBelow64)};
  }
  if (!(approximation < limit)) return {int128Max};
  return {std::max(static_cast<PlistInt128>(approximation), firstAbove64)};
}

std::optional<PreferenceValue> storablePreference(std::optional<PreferenceValue> value) {
  if (value) {
    if (const auto* text = std::get_if<std::string>(&*value); text != nullptr && !isValidUtf8(*text)) {
      return std::nullopt;
    }
  }
  return value;
}
