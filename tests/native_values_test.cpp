#include "platform/native_values.h"

#include <gtest/gtest.h>

#include <vector>

#include "values/coercions.h"

namespace {

TEST(IsValidUtf8, AcceptsWellFormedTextOnly) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8(std::string("left\0right", 10)));
  EXPECT_TRUE(isValidUtf8("Gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x9A\x80"));
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "\x80", "ok\xFF"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
}

TEST(Utf8FromUtf16, JoinsSurrogatePairsAndReplacesUnpairedOnes) {
  const std::vector<std::uint16_t> units{0x41, 0xE9, 0xD83D, 0xDE00, 0xD800, 0x42, 0xDC00, 0xD83D};
  EXPECT_EQ(utf8FromUtf16(units), "A\xC3\xA9\xF0\x9F\x98\x80" "\xEF\xBF\xBD" "B" "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8FromUtf16({}), "");
}

TEST(IntegerBeyond64Bits, KeepsSignAndMagnitudeOutsideThe64BitRange) {
  const PlistInt128 max128 = (PlistInt128{1} << 126) - 1 + (PlistInt128{1} << 126);
  const struct {
    double approximation;
    PlistInt128 kept;
  } cases[] = {
      {0x1p64, PlistInt128{1} << 64},
      {0x1p63, PlistInt128{1} << 63},             // already just outside
      {-0x1p63, -(PlistInt128{1} << 63) - 1},     // rounded onto the edge: pushed back out
      {-0x1p64, -(PlistInt128{1} << 64)},
      {0x1p127, max128},
      {0x1p200, max128},
      {-0x1p127, -max128 - 1},
      {-0x1p200, -max128 - 1},
  };
  for (const auto& c : cases) {
    const PlistValue value{integerBeyond64Bits(c.approximation)};
    EXPECT_TRUE(value.get<PlistInteger>()->value == c.kept) << c.approximation;
    EXPECT_EQ(integerFromValue(&value), std::nullopt) << c.approximation;
  }
}

TEST(StorablePreference, DeletesTextThatIsNotUtf8AndPassesTheRest) {
  const std::optional<PreferenceValue> kept[] = {true, 0.25, std::string("left"), std::string()};
  for (const auto& value : kept) EXPECT_EQ(storablePreference(value), value);
  EXPECT_EQ(storablePreference(std::string("\xC3\x28")), std::nullopt);
  EXPECT_EQ(storablePreference(std::nullopt), std::nullopt);
}

}  // namespace
