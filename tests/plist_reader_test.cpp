#include "platform/portable/plist_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix_platform.h"
#include "plist_text.h"

namespace {

using namespace std::string_literals;

constexpr PlistInt128 two64 = PlistInt128{1} << 64;

void patch(std::string& file, std::size_t at, std::uint64_t value, int width) {
  file.replace(at, static_cast<std::size_t>(width), bigEndian(value, width));
}

// Encoders for binary objects.
std::string withCount(int type, std::size_t count) {
  if (count < 15) return std::string(1, static_cast<char>(type << 4 | static_cast<int>(count)));
  return std::string(1, static_cast<char>(type << 4 | 0xF)) + "\x13" + bigEndian(count, 8);
}
std::string integer(std::int64_t value) { return "\x13" + bigEndian(static_cast<std::uint64_t>(value), 8); }
std::string ascii(const std::string& text) { return withCount(0x5, text.size()) + text; }
std::string utf16(const std::u16string& text) {
  std::string out = withCount(0x6, text.size());
  for (const char16_t unit : text) out += bigEndian(unit, 2);
  return out;
}
std::string refs(const std::vector<std::uint64_t>& indexes, int refSize) {
  std::string out;
  for (const auto index : indexes) out += bigEndian(index, refSize);
  return out;
}
std::string array(const std::vector<std::uint64_t>& elements, int refSize = 1) {
  return withCount(0xA, elements.size()) + refs(elements, refSize);
}
std::string dict(const std::vector<std::uint64_t>& keys, const std::vector<std::uint64_t>& values) {
  return withCount(0xD, keys.size()) + refs(keys, 1) + refs(values, 1);
}
const std::string yes = "\x09", no = "\x08";

const PlistValue sample = PlistDictionary{{"name", std::string("Caf\u00e9 \u2615 \U0001F600")},
                                          {"count", PlistInteger{two64 - 1}},
                                          {"minus", PlistInteger{-1}},
                                          {"ratio", 0.25},
                                          {"when", PlistDate{86400}},
                                          {"blob", PlistData{'H', 'e', 'l', 'l', 'o'}},
                                          {"flags", PlistArray{true, false}},
                                          {"empty", PlistDictionary{}}};

const std::string sampleXml = xmlPlist(
    "<dict><key>name</key><string>Caf\u00e9 \u2615 \U0001F600</string>"
    "<key>count</key><integer>18446744073709551615</integer><key>minus</key><integer>-1</integer>"
    "<key>ratio</key><real>0.25</real><key>when</key><date>2001-01-02T00:00:00Z</date>"
    "<key>blob</key><data>SGVsbG8=</data><key>flags</key><array><true/><false/></array>"
    "<key>empty</key><dict/></dict>");

const std::string sampleBinary = binaryPlist(
    {dict({1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11, 12, 13, 14, 15, 16}), ascii("name"), ascii("count"),
     ascii("minus"), ascii("ratio"), ascii("when"), ascii("blob"), ascii("flags"), ascii("empty"),
     utf16(u"Caf\u00e9 \u2615 \U0001F600"), "\x14"s + bigEndian(0, 8) + bigEndian(UINT64_MAX, 8), integer(-1),
     "\x23" + bigEndian(std::bit_cast<std::uint64_t>(0.25), 8),
     "\x33" + bigEndian(std::bit_cast<std::uint64_t>(86400.0), 8), "\x45Hello", array({17, 18}), dict({}, {}),
     yes, no});

TEST(ReadPropertyList, XmlAndBinaryWithTheSameContentGiveTheSameValue) {
  EXPECT_EQ(readPropertyList(sampleXml), sample);
  EXPECT_EQ(readPropertyList(sampleBinary), sample);
  const auto typicalXml = readPropertyList(fixture("typical.xml"));
  ASSERT_TRUE(typicalXml);
  EXPECT_EQ(readPropertyList(fixture("typical.bplist")), typicalXml);
}

// What writers produce and CoreFoundation reads, and what it reads that the portable
// reader refuses.
TEST(ReadPropertyList, ReadsWhatCoreFoundationReads) {
  const std::pair<std::string, std::optional<PlistValue>> cases[] = {
      {"<plist><string/></plist>", std::string()},
      {"<?xml version=\"1.0\"?>\n<!-- saved -->\n<plist>\n\t<array>\n\t\t<true></true>\n\t</array>\n</plist>",
       PlistArray{true}},
      {xmlPlist("<string>a &lt;&amp;&#x263A; <![CDATA[<b>]]>c</string>"), std::string("a <&\u263A <b>c")},
      {"<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist><true/></plist>",
       true},
      {"{\"a\": 1}", {}},
      {" // nothing\n", PlistDictionary{}},
      {"bplist0x" + sampleBinary.substr(8), sample},
      {"<?xml \xFF?><!DOCTYPE \xFE>\n<!-- - --><true/><junk", true},
      {xmlPlist("<array><key>k</key></array>"), PlistArray{std::string("k")}},
      {xmlPlist("<dict><key>a</key><key>b</key></dict>"), PlistDictionary{{"a", std::string("b")}}},
      {xmlPlist("<string>\xEF\xBB\xBF\x01\r\xEF\xBF\xBE\xA9&#;</string>"), std::string("\x01\r\uFFFE\uFFFD\0"s)},
      {xmlPlist("<data>&amp;AP8=</data>"), PlistData{0x6A, 0x6A, 0x40}},
      {xmlPlist("<date>2001-02-29T00:00:60Z</date>"), PlistDate{59 * 86400 + 60}},
      {"<plist a=b\x01><dict\t<true/></plist>", PlistDictionary{}},
      {"<?xml encoding=\"UTF\x7f'-8`\"?><array><?xml x?><!-- - --><true/></array>", PlistArray{true}},
      // In the body a comment's "-->" may follow "<!--" at once, and "<?>" is a whole
      // processing instruction; a character reference may take eight digits.
      {"<array><!----><?><string>&#00000065;</string></array>", PlistArray{std::string("A")}},
      {"\xFF\xFE<\0t\0r\0u\0e\0/\0>\0"s, true},
      {"\0\0'\0a\0'\0\0"s, std::string("a")},
      // OpenStep text reads every scalar as a string.
      {"hello", std::string("hello")},
      {"{ a = (YES, 'x y', <0fA1 2b>, ); /* c */ b = { }; }",
       PlistDictionary{{"a", PlistArray{std::string("YES"), std::string("x y"), PlistData{0x0F, 0xA1, 0x2B}}},
                       {"b", PlistDictionary{}}}},
      {"\"k\" = \"\\101\\n\\U263a\\\"\\244\"; bare; } after",
       PlistDictionary{{"k", std::string("A\n\u263A\"\u2044")}, {"bare", std::string("bare")}}},
      {"k = a; k = b;", PlistDictionary{{"k", std::string("b")}}},
      {"(\"\\UD83D\\Ude00\")", PlistArray{std::string("\U0001F600")}},
      {"(a b)", {}},
      {"<0>", {}},
      {"\"open", {}},
      {"a = \xC3;", {}},
      // Of a repeated key, the later value in XML, the first in a binary file, even over a null.
      {xmlPlist("<dict><key>k</key><true/><key>k</key><false/></dict>"), PlistDictionary({{"k", false}})},
      {binaryPlist({dict({1, 1}, {2, 3}), ascii("k"), yes, no}), PlistDictionary({{"k", true}})},
      {binaryPlist({dict({1, 1}, {2, 3}), ascii("k"), yes, "\x00"s}), PlistDictionary({{"k", true}})},
      // Encodings other than UTF-8, UTF-16 and UTF-32.
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><true/>", {}},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(readPropertyList(input), expected) << input;
  EXPECT_FALSE(readBinaryPropertyList(sampleXml));
  EXPECT_FALSE(readXmlPropertyList(sampleBinary));
}

// Short of its header's "bplist00", which reads as an OpenStep string.
TEST(ReadPropertyList, EveryTruncationOfAValidFileFails) {
  for (const auto& file : {sampleBinary, fixture("typical.bplist")}) {
    for (std::size_t length = 9; length < file.size(); ++length) {
      EXPECT_FALSE(readPropertyList(file.substr(0, length))) << length;
    }
  }
  const std::size_t closed = sampleXml.find("</plist>") + 8;
  for (std::size_t length = 0; length < closed; ++length) {
    EXPECT_FALSE(readPropertyList(sampleXml.substr(0, length))) << length;
  }
}

using Cases = std::vector<std::pair<std::string, std::optional<PlistValue>>>;

// Each accepted text inside `element` reads as the value beside it; no rejected one reads.
void expectXml(const std::string& element, const Cases& accepted, const std::vector<std::string>& rejected) {
  const auto read = [&](const std::string& text) {
    return readXmlPropertyList(xmlPlist("<" + element + ">" + text + "</" + element + ">"));
  };
  for (const auto& [text, expected] : accepted) EXPECT_EQ(read(text), expected) << text;
  for (const auto& text : rejected) EXPECT_FALSE(read(text)) << text;
}

PlistValue integer128(PlistInt128 value) { return PlistInteger{value}; }

TEST(ReadXmlPropertyList, IntegersSpanMinus2To63UpTo2To64Minus1) {
  expectXml("integer",
            {{"-9223372036854775808", integer128(-two64 / 2)},
             {"0xFFFFFFFFFFFFFFFF", integer128(two64 - 1)},
             {"0X1f", integer128(31)},
             {"-0x10", integer128(-16)},
             {" \n\t42", integer128(42)},
             {"- 7", integer128(-7)}},
            {"18446744073709551616", "-9223372036854775809", "99999999999999999999999", "", "  ", "0x", "-", "12 ",
             "1.5", "0x1g", "12a", "--1"});
}

TEST(ReadXmlPropertyList, RealsAreDecimalNumbersOrInfinityAndNanWords) {
  constexpr double inf = HUGE_VAL;
  expectXml("real",
            {{"0.25", 0.25},
             {"-2e3", -2000.0},
             {".5", 0.5},
             {"1.", 1.0},
             {" 3", 3.0},
             {"1e999", inf},
             {"+Inf", inf},
             {"infinity", inf},
             {"-Infinity", -inf}},
            {"", "1.5 ", "0x1p3", "1e", "1,5", "infin", "-nan", "nan(1)", "e5", "."});
  for (const std::string text : {"nan", "NaN"}) {
    const auto value = readXmlPropertyList(xmlPlist("<real>" + text + "</real>"));
    ASSERT_TRUE(value && value->is<double>()) << text;
    EXPECT_TRUE(std::isnan(*value->get<double>())) << text;
  }
}

// Fields out of range carry over, as in CoreFoundation.
TEST(ReadXmlPropertyList, DatesAreUtcSecondsSince2001) {
  expectXml("date",
            {{"1970-01-01T00:00:00Z", PlistDate{-978307200}},
             {"2000-02-29T12:00:00Z", PlistDate{-307 * 86400 + 43200}},
             {"2024-12-31T23:59:59Z", PlistDate{757382399}},
             {"-1-01-01T00:00:00Z", PlistDate{-731216.0 * 86400}},
             {"2001-13-01T24:00:60Z", PlistDate{366 * 86400 + 60}}},
            {"2001-01-01T00:00:00", "2001-1-01T00:00:00Z", " 2001-01-01T00:00:00Z", "2001-01-01 00:00:00Z"});
}

TEST(ReadXmlPropertyList, DataIsBase64AsCoreFoundationDecodesIt) {
  const PlistData hello{'H', 'e', 'l', 'l', 'o'};
  expectXml("data",
            {{"\n\tSG*Vs\n\tbG8=\n", hello},
             {"SGVsbG8", PlistData{'H', 'e', 'l'}},
             {"", PlistData{}},
             {"/w==", PlistData{0xFF}}},
            {"SGVsbG8\xC3\xA9"});
}

TEST(ReadXmlPropertyList, MalformedDocumentsDoNotParse) {
  const std::string documents[] = {
      xmlPlist(""), xmlPlist("<true/><false/>"), xmlPlist("<dict><string>v</string></dict>"),
      xmlPlist("<dict><key>a</key><key>b</key><true/></dict>"), xmlPlist("<data/>"),
      xmlPlist("<string>a<!-- b --></string>"), xmlPlist("<data></data<?x?>>"), xmlPlist("<array>text</array>"),
      xmlPlist("<array><![CDATA[]]></array>"), xmlPlist("<true>yes</true>"), xmlPlist("<false> </false>"),
      xmlPlist("<string><string/></string>"),
      xmlPlist("<plist><true/></plist>"), xmlPlist("<unknown/>"), "<plist><true/>", "<plist/>",
      // Entity declarations, of any kind, and references to undeclared entities.
      "<!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]><plist><string>&c;</string></plist>",
      "<!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><plist><string>&x;</string></plist>",
      "<!DOCTYPE plist [<!ENTITY x \"unused\">]><plist><true/></plist>",
      "<!DOCTYPE plist SYSTEM \"PropertyList-1.0.dtd\"><plist><string>&undeclared;</string></plist>",
      // What CoreFoundation reads as a keyed archive's UID.
      xmlPlist("<array><dict><key>CF$UID</key><real>1</real></dict></array>")};
  for (const auto& document : documents) EXPECT_FALSE(readXmlPropertyList(document)) << document;
}

// XML's limit is the platform contract's; a million levels, the end-to-end tests'.
TEST(ReadPropertyList, NestingDeeperThan512DoesNotParse) {
  const auto binary = [](std::uint64_t depth) {
    std::vector<std::string> objects;
    for (std::uint64_t i = 1; i < depth; ++i) objects.push_back(array({i}, 2));
    objects.push_back(array({}, 2));
    return binaryPlist(objects, 2);
  };
  const auto openStep = [](std::size_t depth) { return std::string(depth, '(') + std::string(depth, ')'); };
  for (const auto& limit : {binary(maxPlistDepth), openStep(maxPlistDepth)}) EXPECT_TRUE(readPropertyList(limit));
  for (const auto& deeper : {binary(maxPlistDepth + 1), openStep(maxPlistDepth + 1)}) {
    EXPECT_FALSE(readPropertyList(deeper));
  }
}


TEST(ReadBinaryPropertyList, ScalarObjects) {
  const Cases cases = {{"\x10\xFF", integer128(255)},
                       {"\x11\xFF\xFF", integer128(65535)},
                       {"\x12\xFF\xFF\xFF\xFF", integer128(4294967295)},
                       {"\x13\x80" + std::string(7, '\0'), integer128(-two64 / 2)},
                       // Only the low 8 of 16 bytes count, unsigned: -1 reads as 2^64-1, 2^100 as 0.
                       {"\x14" + std::string(16, '\xFF'), integer128(two64 - 1)},
                       {"\x14\x00\x00\x00\x10"s + std::string(12, '\0'), integer128(0)},
                       {"\x22\x3F\xC0\x00\x00"s, 1.5},
                       {"\x33" + bigEndian(std::bit_cast<std::uint64_t>(-0.5), 8), PlistDate{-0.5}},
                       {"\x40", PlistData{}},
                       {ascii("a\0b"s), "a\0b"s},
                       {ascii("caf\xE9"), std::string("caf\u00e9")},
                       {"\x60", {}},
                       // Unpaired surrogates become U+FFFD.
                       {utf16(u"\xDE00z\xD83D\xD83D\xDE00"), std::string("\uFFFDz\uFFFD\U0001F600")},
                       {"\x00"s, {}},
                       {"\x0F", {}},
                       {"\x15" + std::string(32, '\0'), {}},
                       {"\x21\x00\x00"s, {}},
                       {"\x32" + std::string(8, '\0'), {}},
                       {"\x80\x01", {}},
                       {"\xC0", {}}};
  for (const auto& [object, expected] : cases) {
    EXPECT_EQ(readBinaryPropertyList(binaryPlist({object})), expected) << testing::PrintToString(object);
  }
}

// The array's twenty references to one string are copies of it.
TEST(ReadBinaryPropertyList, CountsFrom15AreStoredInAFollowingInteger) {
  const std::string text(30, 'x');
  std::vector<std::string> objects{array(std::vector<std::uint64_t>(20, 1)), ascii(text)};
  EXPECT_EQ(readBinaryPropertyList(binaryPlist(objects)), PlistArray(20, text));
  objects[1] = "\x5F\x23" + std::string(8, '\0') + text;
  EXPECT_FALSE(readBinaryPropertyList(binaryPlist(objects)));
  objects[1] = "\x4F\x13" + std::string(8, '\x7F');
  EXPECT_FALSE(readBinaryPropertyList(binaryPlist(objects)));
}

TEST(ReadBinaryPropertyList, BrokenReferencesDoNotParse) {
  const std::vector<std::string> files[] = {
      {array({1}), dict({2}, {0}), ascii("k")},  // an array holding a dictionary that holds it
      {array({5})},                              // a reference past the last object
  };
  for (const auto& objects : files) EXPECT_FALSE(readBinaryPropertyList(binaryPlist(objects)));

  // Object offsets inside the header, inside the offset table, and past the end.
  const std::string valid = binaryPlist({array({1}), yes});
  const std::size_t tableOffset = valid.size() - 32 - 4;
  for (const std::uint64_t offset :
       {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{tableOffset}, std::uint64_t{0xFFFF}}) {
    std::string file = valid;
    patch(file, tableOffset + 2, offset, 2);
    EXPECT_FALSE(readBinaryPropertyList(file)) << offset;
  }
}

TEST(ReadBinaryPropertyList, InconsistentTrailersDoNotParse) {
  const std::string valid = binaryPlist({array({1}), yes});
  ASSERT_TRUE(readBinaryPropertyList(valid));
  // Counted back from the end: offset size, reference size (one byte each), object
  // count, top object, offset table offset (eight bytes each).
  const std::pair<std::size_t, std::uint64_t> fields[] = {
      {26, 0},          {26, 9}, {25, 0},          {25, 9}, {24, 0},           {24, 3},
      {24, 1ull << 62}, {16, 2}, {16, UINT64_MAX}, {8, 8},  {8, valid.size()}, {8, UINT64_MAX}};
  for (const auto& [fromEnd, value] : fields) {
    std::string file = valid;
    patch(file, file.size() - fromEnd, value, fromEnd > 24 ? 1 : 8);
    EXPECT_FALSE(readBinaryPropertyList(file)) << fromEnd << " " << value;
  }
}

// One token as large as a file may be (a comment, a string) comes through whole, with
// the value after it.
TEST(ReadXmlPropertyList, ATokenAsLargeAsAFileReadsWhole) {
  const std::string filler(maxReadFileSize - 64, 'a');
  EXPECT_EQ(readXmlPropertyList("<plist><!--" + filler + "--><true/></plist>"), PlistValue{true});
  EXPECT_EQ(readXmlPropertyList("<plist><string>" + filler + "</string></plist>"), PlistValue{filler});
}

}  // namespace
