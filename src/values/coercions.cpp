#include "values/coercions.h"

#include <locale.h>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#ifdef __APPLE__
#include <xlocale.h>
#endif

#include "values/unicode_text.h"

namespace {

// Readings of numbers in the style of a platform number object. Where the value has no
// faithful reading, the choice made here is the safe one:
// - bool: zero is false and every other value true, NaN and infinities included;
// - integer: a real is truncated toward zero; NaN, an infinity, or a value outside
//   the signed 64-bit range (real or stored integer) has no integer reading at all, so
//   it can never pose as some unrelated process identifier.

std::optional<std::int64_t> integerOf(PlistInt128 value) {
  if (value < std::numeric_limits<std::int64_t>::min() || value > std::numeric_limits<std::int64_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> integerOf(double value) {
  // 2^63 is exactly representable; every double below it truncates into range.
  constexpr double limit = 9223372036854775808.0;
  if (!std::isfinite(value) || value >= limit || value < -limit) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::optional<bool> boolFromValue(const PlistValue* value) {
  if (value == nullptr) return std::nullopt;
  if (const auto* b = value->get<bool>()) return *b;
  if (const auto* i = value->get<PlistInteger>()) return i->value != 0;
  if (const auto* d = value->get<double>()) return *d != 0.0;  // NaN too: it is not zero
  if (const auto* s = value->get<std::string>()) {
    const auto lowered = lowercased(*s);
    if (!lowered) return std::nullopt;
    if (*lowered == "true" || *lowered == "yes" || *lowered == "1") return true;
    if (*lowered == "false" || *lowered == "no" || *lowered == "0") return false;
  }
  return std::nullopt;
}

std::optional<std::int64_t> integerFromValue(const PlistValue* value) {
  if (value == nullptr) return std::nullopt;
  if (const auto* i = value->get<PlistInteger>()) return integerOf(i->value);
  if (const auto* d = value->get<double>()) return integerOf(*d);
  if (const auto* b = value->get<bool>()) return *b ? 1 : 0;
  if (const auto* s = value->get<std::string>()) return parseDecimalInteger(*s, 64);
  return std::nullopt;
}

std::optional<double> doubleFromValue(const PlistValue* value) {
  if (value == nullptr) return std::nullopt;
  if (const auto* d = value->get<double>()) return *d;
  if (const auto* i = value->get<PlistInteger>()) return static_cast<double>(i->value);
  if (const auto* b = value->get<bool>()) return *b ? 1.0 : 0.0;
  if (const auto* s = value->get<std::string>()) return parseDouble(*s);
  return std::nullopt;
}

std::optional<std::string> stringFromValue(const PlistValue* value) {
  if (value == nullptr) return std::nullopt;
  if (const auto* s = value->get<std::string>()) return *s;
  return std::nullopt;
}

std::optional<std::int64_t> parseDecimalInteger(std::string_view text, int bits) {
  const std::int64_t max =
      bits == 32 ? std::numeric_limits<std::int32_t>::max() : std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = -max - 1;
  if (text.empty()) return std::nullopt;
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;

  // Accumulating negative numbers downward lets the most negative value through.
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (negative) {
      if (value < (min + digit) / 10) return std::nullopt;
      value = value * 10 - digit;
    } else {
      if (value > (max - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
    }
  }
  return value;
}

std::optional<double> parseDouble(std::string_view text) {
  // The conversion reads a C string, so a NUL ends the text.
  text = text.substr(0, text.find('\0'));
  if (text.empty()) return std::nullopt;
  if (std::strchr("\t\n\v\f\r ", text.front()) != nullptr) return std::nullopt;

  const std::string terminated(text);
  const locale_t locale = cLocale();
  if (locale == static_cast<locale_t>(nullptr)) return std::nullopt;
  char* end = nullptr;
  const double result = strtod_l(terminated.c_str(), &end, locale);
  if (end != terminated.c_str() + terminated.size()) return std::nullopt;
  return result;
}
