#include <expat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/portable/civil_dates.h"
#include "platform/portable/plist_reader.h"
#include "values/coercions.h"

namespace {

enum class Element { Plist, Array, Dict, Key, String, Integer, Real, Date, Data, True, False };

std::optional<Element> elementNamed(std::string_view name) {
  static constexpr std::pair<std::string_view, Element> names[] = {
      {"plist", Element::Plist}, {"array", Element::Array},   {"dict", Element::Dict},
      {"key", Element::Key},     {"string", Element::String}, {"integer", Element::Integer},
      {"real", Element::Real},   {"date", Element::Date},     {"data", Element::Data},
      {"true", Element::True},   {"false", Element::False},
  };
  for (const auto& [candidate, element] : names) {
    if (candidate == name) return element;
  }
  return std::nullopt;
}

bool isContainer(Element element) {
  return element == Element::Plist || element == Element::Array || element == Element::Dict;
}

bool holdsText(Element element) {
  return !isContainer(element) && element != Element::True && element != Element::False;
}

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view skipSpace(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) text.remove_prefix(1);
  return text;
}

// The value of `c` as a digit in `base` (10 or 16), or nothing.
std::optional<unsigned> digitValue(char c, unsigned base) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (base == 16 && c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (base == 16 && c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

// White space may come before and after the sign, as CoreFoundation reads it; nothing
// may follow the digits. The range is -2^63 to 2^64-1.
std::optional<PlistInteger> parseInteger(std::string_view text) {
  text = skipSpace(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text = skipSpace(text.substr(1));
  }
  unsigned base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;

  std::uint64_t magnitude = 0;
  for (const char c : text) {
    const auto digit = digitValue(c, base);
    if (!digit || magnitude > (UINT64_MAX - *digit) / base) return std::nullopt;
    magnitude = magnitude * base + *digit;
  }
  if (negative && magnitude > std::uint64_t{1} << 63) return std::nullopt;
  const PlistInt128 value = magnitude;
  return PlistInteger{negative ? -value : value};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// Sign, digits with an optional fraction, optional exponent: the only numbers a
// property list writes. Rules out the hexadecimal and NaN forms strtod also takes.
bool isDecimalNumber(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - start;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t mantissaDigits = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissaDigits += digits();
  }
  if (mantissaDigits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

// Leading white space is skipped, as for integers; nothing may follow the number.
std::optional<double> parseReal(const std::string& content) {
  const std::string text(skipSpace(content));
  constexpr double infinity = std::numeric_limits<double>::infinity();
  static constexpr std::pair<std::string_view, double> words[] = {
      {"nan", std::numeric_limits<double>::quiet_NaN()},
      {"inf", infinity},
      {"+inf", infinity},
      {"-inf", -infinity},
      {"infinity", infinity},
      {"+infinity", infinity},
      {"-infinity", -infinity},
  };
  for (const auto& [word, value] : words) {
    if (equalsIgnoringCase(text, word)) return value;
  }
  // The syntax is narrower than the lenient reading's; the conversion is the same.
  if (!isDecimalNumber(text)) return std::nullopt;
  return parseDouble(text);
}

bool isLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int daysInMonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// Exactly YYYY-MM-DDTHH:MM:SSZ, in UTC, with every field in range.
std::optional<PlistDate> parseDate(std::string_view text) {
  static constexpr std::string_view pattern = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != pattern.size()) return std::nullopt;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool isDigit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !isDigit : text[i] != pattern[i]) return std::nullopt;
  }
  const auto field = [&](std::size_t at, std::size_t width) {
    int value = 0;
    for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
  const int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  const std::int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - referenceDay;
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return PlistDate{static_cast<double>(seconds)};
}

std::optional<unsigned> base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
  if (c == '+') return 62u;
  if (c == '/') return 63u;
  return std::nullopt;
}

// Base64 with white space anywhere. Padding may be left off, but when present it
// must be exactly what the last group needs.
std::optional<PlistData> decodeBase64(std::string_view text) {
  PlistData bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t group = 0;
  int sextets = 0;
  int padding = 0;
  for (const char c : text) {
    if (isXmlSpace(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const auto value = base64Value(c);
    if (!value || padding > 0) return std::nullopt;
    group = group << 6 | *value;
    if (++sextets == 4) {
      bytes.push_back(static_cast<std::uint8_t>(group >> 16));
      bytes.push_back(static_cast<std::uint8_t>(group >> 8));
      bytes.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      sextets = 0;
    }
  }
  switch (sextets) {
    case 0:
      if (padding != 0) return std::nullopt;
      break;
    case 2:
      if (padding != 0 && padding != 2) return std::nullopt;
      bytes.push_back(static_cast<std::uint8_t>(group >> 4));
      break;
    case 3:
      if (padding > 1) return std::nullopt;
      bytes.push_back(static_cast<std::uint8_t>(group >> 10));
      bytes.push_back(static_cast<std::uint8_t>(group >> 2));
      break;
    default:
      return std::nullopt;
  }
  return bytes;
}

// Builds the value from expat's events on an explicit stack, so that no input can
// make the reader recurse. Any error stops the parser at once.
class PlistBuilder {
 public:
  explicit PlistBuilder(XML_Parser parser) : parser_(parser) {}

  void startElement(std::string_view name) {
    if (failed_) return;
    const auto element = elementNamed(name);
    if (!element) return fail();
    if (stack_.empty()) {
      if (*element != Element::Plist) return fail();
      stack_.emplace_back(*element);
      return;
    }
    const Frame& parent = stack_.back();
    if (!isContainer(parent.element) || *element == Element::Plist) return fail();
    const bool isKey = *element == Element::Key;
    switch (parent.element) {
      case Element::Plist:
        if (isKey || root_) return fail();
        break;
      case Element::Dict:
        // Keys and values alternate, starting with a key.
        if (isKey == parent.key.has_value()) return fail();
        break;
      default:
        if (isKey) return fail();
        break;
    }
    if (*element == Element::Array || *element == Element::Dict) {
      if (++containerDepth_ > maxPlistDepth) return fail();
    }
    stack_.emplace_back(*element);
  }

  void endElement() {
    if (failed_) return;
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    std::optional<PlistValue> value;
    switch (frame.element) {
      case Element::Plist:
        if (!root_) fail();
        return;
      case Element::Key:
        stack_.back().key = std::move(frame.text);
        return;
      case Element::Array:
        --containerDepth_;
        value = std::move(frame.array);
        break;
      case Element::Dict:
        --containerDepth_;
        if (frame.key) return fail();
        value = std::move(frame.dict);
        break;
      case Element::String:
        value = std::move(frame.text);
        break;
      case Element::Integer:
        if (auto parsed = parseInteger(frame.text)) value = *parsed;
        break;
      case Element::Real:
        if (auto parsed = parseReal(frame.text)) value = *parsed;
        break;
      case Element::Date:
        if (auto parsed = parseDate(frame.text)) value = *parsed;
        break;
      case Element::Data:
        if (auto parsed = decodeBase64(frame.text)) value = std::move(*parsed);
        break;
      case Element::True:
        value = true;
        break;
      case Element::False:
        value = false;
        break;
    }
    if (!value) return fail();
    attach(std::move(*value));
  }

  void characters(std::string_view text) {
    if (failed_) return;
    Frame& frame = stack_.back();
    if (holdsText(frame.element)) {
      frame.text.append(text);
      return;
    }
    // Only indentation may sit between elements, and nothing inside <true/> or <false/>.
    const bool indentation = isContainer(frame.element) && std::all_of(text.begin(), text.end(), isXmlSpace);
    if (!indentation) fail();
  }

  void fail() {
    if (failed_) return;
    failed_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }

  std::optional<PlistValue> takeResult() {
    if (failed_ || !stack_.empty()) return std::nullopt;
    return std::move(root_);
  }

 private:
  struct Frame {
    explicit Frame(Element e) : element(e) {}

    Element element;
    std::string text;                // character data of a leaf element
    PlistArray array;                // contents of an <array>
    PlistDictionary dict;            // contents of a <dict>
    std::optional<std::string> key;  // a <dict>'s key still waiting for its value
  };

  void attach(PlistValue value) {
    Frame& parent = stack_.back();
    if (parent.element == Element::Plist) {
      root_ = std::move(value);
    } else if (parent.element == Element::Array) {
      parent.array.push_back(std::move(value));
    } else {
      // A repeated key takes the later value.
      parent.dict.insert_or_assign(std::move(*parent.key), std::move(value));
      parent.key.reset();
    }
  }

  XML_Parser parser_;
  std::vector<Frame> stack_;
  std::optional<PlistValue> root_;
  int containerDepth_ = 0;
  bool failed_ = false;
};

PlistBuilder& builderOf(void* userData) { return *static_cast<PlistBuilder*>(userData); }

void XMLCALL onStartElement(void* userData, const XML_Char* name, const XML_Char**) {
  builderOf(userData).startElement(name);
}

void XMLCALL onEndElement(void* userData, const XML_Char*) { builderOf(userData).endElement(); }

void XMLCALL onCharacters(void* userData, const XML_Char* text, int length) {
  builderOf(userData).characters(std::string_view(text, static_cast<std::size_t>(length)));
}

// Property lists never declare entities; refusing every declaration rules out
// exponential entity expansion and external entities alike.
void XMLCALL onEntityDeclaration(void* userData, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                 const XML_Char*, const XML_Char*, const XML_Char*) {
  builderOf(userData).fail();
}

// A reference to an entity that was never declared would silently drop text.
void XMLCALL onSkippedEntity(void* userData, const XML_Char*, int) { builderOf(userData).fail(); }

struct ParserDeleter {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// One random salt for the whole process: left to itself, expat asks the kernel for a
// fresh one with every parser, a system call on every pass of the watch.
unsigned long processHashSalt() {
  static const unsigned long salt = [] {
    std::random_device device;
    return static_cast<unsigned long>(device()) << 31 ^ device();
  }();
  return salt;
}

}  // namespace

std::optional<PlistValue> readXmlPropertyList(std::string_view bytes) {
  const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
  if (!parser) return std::nullopt;
  XML_SetHashSalt(parser.get(), processHashSalt());
  PlistBuilder builder(parser.get());
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), onStartElement, onEndElement);
  XML_SetCharacterDataHandler(parser.get(), onCharacters);
  XML_SetEntityDeclHandler(parser.get(), onEntityDeclaration);
  XML_SetSkippedEntityHandler(parser.get(), onSkippedEntity);

  // Pieces, because expat copies what it is given and a document that fails early
  // should not be copied whole first. Expat scans a token left unfinished at the end of
  // a piece again from its start with each further piece; pieces that double in size
  // keep that linear even when the whole document is one token, a 16 MiB comment say.
  constexpr std::size_t largestChunk = std::size_t{1} << 30;  // XML_Parse takes an int
  std::size_t chunkSize = std::size_t{1} << 16;
  for (;;) {
    const std::size_t size = std::min(bytes.size(), chunkSize);
    const bool last = size == bytes.size();
    if (XML_Parse(parser.get(), bytes.data(), static_cast<int>(size), last) != XML_STATUS_OK) {
      return std::nullopt;
    }
    if (last) break;
    bytes.remove_prefix(size);
    chunkSize = std::min(2 * chunkSize, largestChunk);
  }
  return builder.takeResult();
}
