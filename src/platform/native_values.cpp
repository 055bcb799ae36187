#include "platform/native_values.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <variant>

#include <utf8proc.h>

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto remaining = static_cast<utf8proc_ssize_t>(text.size());
  while (remaining > 0) {
    utf8proc_int32_t codePoint = 0;
    const auto used = utf8proc_iterate(bytes, remaining, &codePoint);
    if (used <= 0) return false;
    bytes += used;
    remaining -= used;
  }
  return true;
}

std::string utf8FromUtf16(std::span<const std::uint16_t> units) {
  const auto isHigh = [](std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  const auto isLow = [](std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t codePoint = units[i];
    if (isHigh(codePoint) && i + 1 < units.size() && isLow(units[i + 1])) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (isHigh(codePoint) || isLow(codePoint)) {
      codePoint = 0xFFFD;
    }
    utf8proc_uint8_t encoded[4];
    const auto size = utf8proc_encode_char(static_cast<utf8proc_int32_t>(codePoint), encoded);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(size));
  }
  return out;
}

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
