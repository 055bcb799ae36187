#include "platform/portable/xml_plist_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/portable/plist_reader.h"

namespace {

const std::string header =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
const std::string footer = "</plist>\n";

// What the document holds between its <plist> tags.
std::string body(const PlistValue& value) {
  const std::string document = writeXmlPropertyList(value);
  EXPECT_TRUE(document.starts_with(header) && document.ends_with(footer)) << document;
  return document.substr(header.size(), document.size() - header.size() - footer.size());
}

constexpr double inf = std::numeric_limits<double>::infinity();

// The layout CoreFoundation writes: tabs, sorted keys, empty containers as one tag.
TEST(WriteXmlPropertyList, LaysContainersOutAsCoreFoundationDoes) {
  const PlistDictionary value{{"b", PlistArray{true, PlistArray{}, PlistDictionary{}}},
                              {"a", PlistDictionary{{"k", false}}},
                              {"d", PlistData{0, 1, 2}}};
  EXPECT_EQ(body(value),
            "<dict>\n\t<key>a</key>\n\t<dict>\n\t\t<key>k</key>\n\t\t<false/>\n\t</dict>\n"
            "\t<key>b</key>\n\t<array>\n\t\t<true/>\n\t\t<array/>\n\t\t<dict/>\n\t</array>\n"
            "\t<key>d</key>\n\t<data>\n\tAAEC\n\t</data>\n</dict>\n");
}

TEST(WriteXmlPropertyList, WritesScalarsAsText) {
  const PlistInt128 two63 = PlistInt128{1} << 63;
  const std::pair<PlistValue, std::string> cases[] = {
      {PlistInteger{-two63}, "<integer>-9223372036854775808</integer>"},
      {PlistInteger{2 * two63 - 1}, "<integer>18446744073709551615</integer>"},
      {PlistInteger{-(((PlistInt128{1} << 126) - 1) * 2 + 1) - 1},
       "<integer>-170141183460469231731687303715884105728</integer>"},
      {0.1, "<real>0.1</real>"}, {1e300, "<real>1e+300</real>"}, {-0.0, "<real>-0</real>"},
      {std::nan(""), "<real>nan</real>"}, {-inf, "<real>-inf</real>"},
      {PlistDate{0}, "<date>2001-01-01T00:00:00Z</date>"}, {PlistDate{-0.5}, "<date>2000-12-31T23:59:59Z</date>"},
      {PlistDate{730902896.9}, "<date>2024-02-29T12:34:56Z</date>"},
      {PlistDate{1e30}, "<date>9999-12-31T23:59:59Z</date>"}, {PlistDate{-inf}, "<date>0001-01-01T00:00:00Z</date>"},
      {PlistDate{std::nan("")}, "<date>2001-01-01T00:00:00Z</date>"},
      {PlistData{'f', 'o', 'o', 'b'}, "<data>\nZm9vYg==\n</data>"}, {PlistData{}, "<data>\n</data>"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(body(value), text + "\n");
}

// What the store writes, the reader must take back unchanged: reals at their edges,
// whole-second dates, long data, and text in keys and values, which is escaped; what
// XML cannot carry becomes U+FFFD rather than making a document nobody can read.
TEST(WriteXmlPropertyList, WhatItWritesReadsBack) {
  const std::string kept = " tab\tline\ncr\r\ncaf\xC3\xA9 \xF0\x9F\x9A\x80 ]]> &amp; ";
  const char lost[] = "nul\0 bell\x07 bad\xFF\xC0\xAF end\xEF\xBF\xBE";
  const std::string r = "\xEF\xBF\xBD";
  const PlistArray others{kept, 0.1, 1e300, 5e-324, -2.5, inf, -inf, PlistDate{-3e10}, PlistDate{7e8}, PlistData(200, 7)};
  EXPECT_EQ(readXmlPropertyList(writeXmlPropertyList(PlistDictionary{{kept, others}, {"<&>", std::string(lost, sizeof lost - 1)}})),
            PlistValue(PlistDictionary{{kept, others}, {"<&>", "nul" + r + " bell" + r + " bad" + r + r + r + " end" + r}}));

  const auto edgeReals = readXmlPropertyList(writeXmlPropertyList(PlistArray{-0.0, std::nan("")}));
  ASSERT_TRUE(edgeReals);
  EXPECT_TRUE(std::signbit(*edgeReals->get<PlistArray>()->at(0).get<double>()));
  EXPECT_TRUE(std::isnan(*edgeReals->get<PlistArray>()->at(1).get<double>()));
}

}  // namespace
