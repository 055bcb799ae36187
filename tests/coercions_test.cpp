#include "values/coercions.h"

#include <clocale>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "values/unicode_text.h"

namespace {

using namespace std::string_literals;

PlistValue text(std::string s) { return PlistValue{std::move(s)}; }
PlistValue integer(PlistInt128 v) { return PlistValue{PlistInteger{v}}; }

constexpr PlistInt128 two63 = PlistInt128{1} << 63;
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool sameReal(std::optional<double> a, std::optional<double> b) {
  if (a && b && std::isnan(*a)) return std::isnan(*b);
  return a == b;
}

// Every value read all three ways: as a bool, an integer and a real; nothing where
// there is no faithful reading.
TEST(Coercions, ReadEachKindOfValueAsBoolIntegerAndReal) {
  const std::tuple<PlistValue, std::optional<bool>, std::optional<std::int64_t>, std::optional<double>> cases[] = {
      // Six words, in any case; nothing else, nor text lowered by compatibility (full-width YES).
      {text("YES"), true, {}, {}}, {text("nO"), false, {}, {}}, {text("TRUE"), true, {}, {}},
      {text("False"), false, {}, {}}, {text("1"), true, 1, 1.0}, {text("0"), false, 0, 0.0},
      {text("on"), {}, {}, {}}, {text(" true"), {}, {}, {}}, {text("\xEF\xBC\xB9\xEF\xBC\xA5\xEF\xBC\xB3"), {}, {}, {}},
      // Integers: sign and ASCII digits within 64 bits. Reals: C-locale strtod, whole text.
      {text("+42"), {}, 42, 42.0}, {text("-042"), {}, -42, -42.0}, {text("42.0"), {}, {}, 42.0},
      {text("0x2A"), {}, {}, 42.0}, {text(" 42"), {}, {}, {}}, {text("42 "), {}, {}, {}},
      {text("\t42"), {}, {}, {}}, {text("\n42"), {}, {}, {}}, {text("\v42"), {}, {}, {}},
      {text("\f42"), {}, {}, {}}, {text("\r42"), {}, {}, {}},
      {text("\xD9\xA4"), {}, {}, {}}, {text(""), {}, {}, {}}, {text("+"), {}, {}, {}}, {text("1,5"), {}, {}, {}},
      {text("9223372036854775807"), {}, std::numeric_limits<std::int64_t>::max(), 0x1p63},
      {text("9223372036854775808"), {}, {}, 0x1p63},
      {text("-9223372036854775808"), {}, int64Min, -0x1p63},
      {text("-9223372036854775809"), {}, {}, -0x1p63},
      {text(".5"), {}, {}, 0.5}, {text("0x1p-2"), {}, {}, 0.25}, {text("1e"), {}, {}, {}},
      {text("-inf"), {}, {}, -inf}, {text("NaN(123)"), {}, {}, nan},
      // A NUL ends the text for strtod, but is no digit.
      {text(std::string("2.5\0junk", 8)), {}, {}, 2.5}, {text(std::string("\0" "2.5", 4)), {}, {}, {}},
      {text(std::string("1\0" "2", 3)), {}, {}, 1.0},
      // Numbers: zero is false; a real truncates toward zero; outside 64 bits, or not
      // finite, there is no integer, so 2^64-1 never reads as -1.
      {PlistValue{true}, true, 1, 1.0}, {PlistValue{false}, false, 0, 0.0},
      {integer(0), false, 0, 0.0}, {integer(-7), true, -7, -7.0},
      {integer(2 * two63 - 1), true, {}, 0x1p64}, {integer(two63), true, {}, 0x1p63},
      {integer(-2 * two63), true, {}, -0x1p64}, {integer(-two63), true, int64Min, -0x1p63},
      {PlistValue{42.9}, true, 42, 42.9}, {PlistValue{-3.7}, true, -3, -3.7}, {PlistValue{0.0}, false, 0, 0.0},
      {PlistValue{nan}, true, {}, nan}, {PlistValue{inf}, true, {}, inf}, {PlistValue{-inf}, true, {}, -inf},
      {PlistValue{0x1p63}, true, {}, 0x1p63}, {PlistValue{-0x1p63}, true, int64Min, -0x1p63},
      {PlistValue{PlistDate{1}}, {}, {}, {}}, {PlistValue{PlistData{1}}, {}, {}, {}}, {PlistValue{PlistArray{}}, {}, {}, {}},
  };
  for (const auto& [value, asBool, asInteger, asReal] : cases) {
    const auto shown = testing::PrintToString(value.storage);
    EXPECT_EQ(boolFromValue(&value), asBool) << shown;
    EXPECT_EQ(integerFromValue(&value), asInteger) << shown;
    EXPECT_TRUE(sameReal(doubleFromValue(&value), asReal)) << shown;
  }
  EXPECT_FALSE(boolFromValue(nullptr) || integerFromValue(nullptr) || doubleFromValue(nullptr) ||
               stringFromValue(nullptr));
}

TEST(ParseDouble, IgnoresTheProcessLocale) {
  // A locale with a decimal comma must not change what "0.5" means.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr && std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no decimal-comma locale installed";
  }
  EXPECT_EQ(parseDouble("0.5"), 0.5);
  EXPECT_EQ(parseDouble("0,5"), std::nullopt);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

// Each backend answers with its own library (utf8proc, or CoreFoundation): the same answers.
TEST(UnicodeText, CanonicalEquivalenceAndFullLowerCase) {
  const struct { std::string a, b; bool equal; } pairs[] = {
      {"\xE1\xB8\x8B\xCC\xA3", "d\xCC\xA3\xCC\x87", true},   // mark order
      {"\xE2\x84\xA6", "\xCE\xA9", true},                    // the ohm sign is Ω
      {"\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true},    // a Hangul syllable and its letters
      {"a\0\xC3\xA9"s, "a\0e\xCC\x81"s, true},               // é vs e + ◌́, after a NUL
      {"caf\xC3\xA9", "CAF\xC3\x89", false},
      {"\xEF\xAC\x81", "fi", false},                         // compatibility only, not canonical
      {"\xEF\xBB\xBFrun", "run", false},                     // a byte order mark is text too
      {"s\xFF", "s\xFF", true},                              // not UTF-8: byte for byte
      {"\xC3\xA9\xFF", "e\xCC\x81\xFF", false},
  };
  for (const auto& [a, b, equal] : pairs) EXPECT_EQ(canonicallyEqual(a, b), equal) << a << " / " << b;
  EXPECT_EQ(lowercased("\xC3\x89T\xC4\xB0"), "\xC3\xA9ti\xCC\x87");  // ÉTİ: İ lowers to i + dot above
  EXPECT_EQ(lowercased("\xEF\xBB\xBFYES"), "\xEF\xBB\xBFyes");
  EXPECT_EQ(lowercased("bad \xC3"), std::nullopt);
}

}  // namespace
