#include "values/coercions.h"

#include <clocale>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "values/unicode_text.h"

namespace {

PlistValue text(const char* s) { return PlistValue{std::string(s)}; }
PlistValue integer(PlistInt128 v) { return PlistValue{PlistInteger{v}}; }
const PlistInt128 two64 = static_cast<PlistInt128>(1) << 64;

TEST(BoolFromValue, ReadsBooleansNumbersAndSixWords) {
  const PlistValue yes = text("YES"), no = text("nO"), one = text("1"), zero = text("0"),
                   trueWord = text("TRUE"), falseWord = text("False");
  EXPECT_EQ(boolFromValue(&yes), true);
  EXPECT_EQ(boolFromValue(&no), false);
  EXPECT_EQ(boolFromValue(&one), true);
  EXPECT_EQ(boolFromValue(&zero), false);
  EXPECT_EQ(boolFromValue(&trueWord), true);
  EXPECT_EQ(boolFromValue(&falseWord), false);

  const PlistValue t{true}, i0 = integer(0), i1 = integer(1), r0{0.0}, r1{1.0};
  EXPECT_EQ(boolFromValue(&t), true);
  EXPECT_EQ(boolFromValue(&i0), false);
  EXPECT_EQ(boolFromValue(&i1), true);
  EXPECT_EQ(boolFromValue(&r0), false);
  EXPECT_EQ(boolFromValue(&r1), true);
}

TEST(BoolFromValue, RefusesOtherTextsAndKinds) {
  for (const char* s : {"on", " true", "true ", "y", "", "truee", "1.0", "T\xFF"}) {
    const PlistValue v = text(s);
    EXPECT_EQ(boolFromValue(&v), std::nullopt) << s;
  }
  const PlistValue date{PlistDate{0}}, data{PlistData{1}}, array{PlistArray{}},
      dict{PlistDictionary{}};
  EXPECT_EQ(boolFromValue(nullptr), std::nullopt);
  EXPECT_EQ(boolFromValue(&date), std::nullopt);
  EXPECT_EQ(boolFromValue(&data), std::nullopt);
  EXPECT_EQ(boolFromValue(&array), std::nullopt);
  EXPECT_EQ(boolFromValue(&dict), std::nullopt);
}

TEST(BoolFromValue, LowersWithUnicodeMappingNotJustAscii) {
  // Full-width letters are not ASCII "yes", however they lower; capital I with dot
  // lowers to two characters and so never matches a word.
  const PlistValue fullWidth = text("\xEF\xBC\xB9\xEF\xBC\xA5\xEF\xBC\xB3");  // ＹＥＳ
  EXPECT_EQ(boolFromValue(&fullWidth), std::nullopt);
  EXPECT_EQ(lowercased("\xC4\xB0"), "i\xCC\x87");
  EXPECT_EQ(lowercased("\xC3\x89T\xC3\xA9"), "\xC3\xA9t\xC3\xA9");  // ÉTé
  EXPECT_EQ(lowercased("bad \xC3"), std::nullopt);
}

TEST(IntegerFromValue, ReadsIntegersRealsBooleansAndDecimalText) {
  struct Case {
    PlistValue value;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {text("42"), 42},       {text("+42"), 42},         {text("042"), 42},
      {text("-42"), -42},     {text("42.0"), {}},        {text("0x2A"), {}},
      {text("4 2"), {}},      {text("+"), {}},           {text("-"), {}},
      {text(""), {}},         {text(" 42"), {}},         {text("\xD9\xA4"), {}},  // Arabic-Indic 4
      {PlistValue{42.9}, 42}, {PlistValue{-3.7}, -3},    {PlistValue{true}, 1},
      {PlistValue{false}, 0}, {integer(-7), -7},         {PlistValue{PlistDate{1}}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(integerFromValue(&c.value), c.expected);
}

TEST(IntegerFromValue, ValuesWithoutAFaithfulIntegerGiveNone) {
  // 2^64-1 must not read as -1, nor a huge real as some wrapped process identifier.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const PlistValue& v : {integer(two64 - 1), integer(static_cast<PlistInt128>(1) << 63),
                              integer(-two64), PlistValue{nan}, PlistValue{inf}, PlistValue{-inf},
                              PlistValue{9223372036854775808.0}, PlistValue{-1e19}}) {
    EXPECT_EQ(integerFromValue(&v), std::nullopt);
  }
  const PlistValue lowest = integer(std::numeric_limits<std::int64_t>::min());
  const PlistValue lowestReal{-9223372036854775808.0};
  EXPECT_EQ(integerFromValue(&lowest), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(integerFromValue(&lowestReal), std::numeric_limits<std::int64_t>::min());
}

TEST(ParseDecimalInteger, AcceptsExactlyTheRangeOfItsWidth) {
  EXPECT_EQ(parseDecimalInteger("9223372036854775807", 64), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parseDecimalInteger("9223372036854775808", 64), std::nullopt);
  EXPECT_EQ(parseDecimalInteger("-9223372036854775808", 64), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parseDecimalInteger("-9223372036854775809", 64), std::nullopt);
  EXPECT_EQ(parseDecimalInteger("2147483647", 32), 2147483647);
  EXPECT_EQ(parseDecimalInteger("-2147483648", 32), -2147483648LL);
  EXPECT_EQ(parseDecimalInteger("2147483648", 32), std::nullopt);
  EXPECT_EQ(parseDecimalInteger("-2147483649", 32), std::nullopt);
  EXPECT_EQ(parseDecimalInteger("-0", 32), 0);
  EXPECT_EQ(parseDecimalInteger("0000000000000000000000012", 32), 12);
  EXPECT_EQ(parseDecimalInteger("99999999999999999999999", 64), std::nullopt);
  EXPECT_EQ(parseDecimalInteger("--1", 64), std::nullopt);
  EXPECT_EQ(parseDecimalInteger(std::string_view("1\0" "2", 3), 64), std::nullopt);
}

TEST(DoubleFromValue, ReadsNumbersAndStrtodSyntax) {
  struct Case {
    PlistValue value;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {text("0.5"), 0.5},      {text(".5"), 0.5},    {text("1e3"), 1000.0}, {text("5."), 5.0},
      {text("0x1p-2"), 0.25},  {text("-1.5E-1"), -0.15},
      {text("1,5"), {}},       {text(" 0.5"), {}},   {text("0.5 "), {}},    {text("\t1"), {}},
      {text(""), {}},          {text("e5"), {}},     {text("1e"), {}},
      {integer(7), 7.0},       {PlistValue{false}, 0.0}, {PlistValue{true}, 1.0},
      {integer(two64 - 1), 18446744073709551615.0},
      {PlistValue{PlistData{}}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(doubleFromValue(&c.value), c.expected);
  const PlistValue minusInf = text("-inf"), nan = text("NaN(123)"), infinity = text("INFINITY");
  EXPECT_EQ(doubleFromValue(&minusInf), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(*doubleFromValue(&nan)));
  EXPECT_EQ(doubleFromValue(&infinity), std::numeric_limits<double>::infinity());
}

TEST(ParseDouble, JudgesTextOnlyUpToANul) {
  EXPECT_EQ(parseDouble(std::string_view("2.5\0junk", 8)), 2.5);
  EXPECT_EQ(parseDouble(std::string_view("\0" "2.5", 4)), std::nullopt);
}

TEST(ParseDouble, IgnoresTheProcessLocale) {
  // A locale with a decimal comma must not change what "0.5" means.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no decimal-comma locale installed";
  }
  EXPECT_EQ(parseDouble("0.5"), 0.5);
  EXPECT_EQ(parseDouble("0,5"), std::nullopt);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(StringFromValue, OnlyStringsAreText) {
  const PlistValue number = integer(42), empty = text(""), flag{true};
  EXPECT_EQ(stringFromValue(&number), std::nullopt);
  EXPECT_EQ(stringFromValue(&flag), std::nullopt);
  EXPECT_EQ(stringFromValue(&empty), "");
  EXPECT_EQ(stringFromValue(nullptr), std::nullopt);
}

TEST(CanonicallyEqual, ComposedAndDecomposedFormsAreEqual) {
  EXPECT_TRUE(canonicallyEqual("caf\xC3\xA9", "cafe\xCC\x81"));         // é vs e + ◌́
  EXPECT_TRUE(canonicallyEqual("\xE1\xB8\x8B\xCC\xA3", "d\xCC\xA3\xCC\x87"));  // mark order
  EXPECT_FALSE(canonicallyEqual("caf\xC3\xA9", "CAF\xC3\x89"));
  EXPECT_FALSE(canonicallyEqual("abc", "abc "));
  EXPECT_FALSE(canonicallyEqual("\xEF\xAC\x81", "fi"));  // compatibility only, not canonical
  // Invalid UTF-8 compares byte for byte.
  EXPECT_TRUE(canonicallyEqual("s\xFF", "s\xFF"));
  EXPECT_FALSE(canonicallyEqual("\xC3\xA9\xFF", "e\xCC\x81\xFF"));
}

}  // namespace
