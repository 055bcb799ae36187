// What the preferences store writes, the reader must take back as it was; the store's
// tests carry the round trips of everything else.

#include "platform/portable/plist_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/portable/plist_reader.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(PlistWriters, BothReadBackNaN) {
  const PlistArray nan{std::nan("")};
  for (const auto& document : {*writeXmlPropertyList(nan), writeBinaryPropertyList(nan)}) {
    const auto read = readPropertyList(document);
    ASSERT_TRUE(read);
    EXPECT_TRUE(std::isnan(*read->get<PlistArray>()->at(0).get<double>()));
  }
}

// What XML text cannot hold exactly, it does not write at all; binary keeps it.
TEST(PlistWriters, OnlyBinaryHoldsControlCharactersAndExactDates) {
  const PlistValue values[] = {
      std::string("le\x01" "ft"), std::string("nul\0", 4), std::string("\x1B[0m"), std::string("\xEF\xBF\xBE"),
      PlistDate{0.5}, PlistDate{-1e30}, PlistDate{1e30}, PlistDate{inf},
      PlistDictionary{{"bell\x07", true}},
  };
  for (const auto& value : values) {
    const PlistArray document{value};
    EXPECT_FALSE(writeXmlPropertyList(document)) << testing::PrintToString(value.storage);
    EXPECT_EQ(readPropertyList(writeBinaryPropertyList(document)), PlistValue(document));
  }
}

}  // namespace
