// What the preferences store writes, the reader must take back as it was.

#include "platform/portable/plist_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/portable/plist_reader.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr PlistInt128 two63 = PlistInt128{1} << 63;

// Markup, white space and text beyond ASCII (an emoji takes two UTF-16 units), numbers
// at the edges of XML's range, whole-second dates, data and containers large enough for
// wider counts, references and offsets.
const std::string text = " tab\tline\ncr\r\ncaf\xC3\xA9 \xF0\x9F\x9A\x80 ]]> &amp; <&>";
const PlistValue heldByXml = PlistDictionary{
    {text, PlistArray{text, "", 0.1, 1e300, 5e-324, -2.5, -0.0, inf, -inf, true, false, PlistInteger{-two63},
                      PlistInteger{2 * two63 - 1}, PlistInteger{70000}, PlistDate{-3e10}, PlistDate{7e8},
                      PlistData{}, PlistData(70000, 7), PlistArray{}, PlistDictionary{}}},
    {"many", PlistArray(300, PlistValue{PlistInteger{255}})}};

TEST(PlistWriters, WhatEitherWritesReadsBackAsItWas) {
  const auto xml = writeXmlPropertyList(heldByXml);
  ASSERT_TRUE(xml);
  EXPECT_EQ(readPropertyList(*xml), heldByXml);
  const std::string binary = writeBinaryPropertyList(heldByXml);
  EXPECT_TRUE(binary.starts_with("bplist00"));
  EXPECT_EQ(readPropertyList(binary), heldByXml);

  const PlistArray nan{std::nan("")};
  for (const auto& document : {*writeXmlPropertyList(nan), writeBinaryPropertyList(nan)}) {
    const auto read = readPropertyList(document);
    ASSERT_TRUE(read);
    EXPECT_TRUE(std::isnan(*read->get<PlistArray>()->at(0).get<double>()));
  }
}

// What XML text cannot hold exactly, it does not write at all; binary keeps it.
TEST(PlistWriters, OnlyBinaryHoldsControlCharactersWideIntegersAndExactDates) {
  const PlistValue values[] = {
      std::string("le\x01" "ft"), std::string("nul\0", 4), std::string("\x1B[0m"), std::string("\xEF\xBF\xBE"),
      PlistInteger{2 * two63}, PlistInteger{-two63 - 1}, PlistInteger{-two63 * two63},
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
