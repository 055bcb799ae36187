#include <expat.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/portable/plist_reader.h"
#include "values/coercions.h"
#include "values/unicode_text.h"

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

// The value of `c` as a digit in `base` (10 or 16), or nothing.
std::optional<unsigned> digitValue(char c, unsigned base) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (base == 16 && c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (base == 16 && c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

// The bytes CoreFoundation skips as white space before an integer, one at a time: all
// below '!', 0x7F to 0xA0, and the lead bytes of some Unicode spaces.
std::string_view skipIntegerSpace(std::string_view text) {
  const auto isSpace = [&] {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    if (byte(0) < 0x21 || (byte(0) > 0x7E && byte(0) < 0xA1)) return true;
    if (text.size() < 3) return false;
    if (byte(0) == 0xE2 && byte(1) == 0x80) return (byte(2) >= 0x80 && byte(2) <= 0x8B) || byte(2) == 0xAF;
    if (byte(0) == 0xE2 && byte(1) == 0x81) return byte(2) == 0x9F;
    return byte(0) == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80;
  };
  while (!text.empty() && isSpace()) text.remove_prefix(1);
  return text;
}

// White space may come before and after the sign, as CoreFoundation reads it; nothing
// may follow the digits. The range is -2^63 to 2^64-1.
std::optional<PlistInteger> parseInteger(std::string_view text) {
  text = skipIntegerSpace(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text = skipIntegerSpace(text.substr(1));
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

// Control characters, spaces, 0x7F to U+00A0, U+2000 to U+200B and U+3000: what
// CoreFoundation skips before a real.
std::string_view skipRealSpace(std::string_view text) {
  for (;;) {
    const auto lead = text.empty() ? 0xFFu : static_cast<std::uint8_t>(text[0]);
    std::size_t length = lead < 0x21 || lead == 0x7F ? 1 : 0;
    if (lead == 0xC2 && text.size() > 1 && static_cast<std::uint8_t>(text[1]) <= 0xA0) length = 2;
    if (text.size() > 2 && text.starts_with("\xE2\x80") && static_cast<std::uint8_t>(text[2]) <= 0x8B) length = 3;
    if (text.starts_with("\xE3\x80\x80")) length = 3;
    if (length == 0) return text;
    text.remove_prefix(length);
  }
}

// The words are matched against the whole text, numbers after white space; nothing may
// follow the number.
std::optional<double> parseReal(const std::string& content) {
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
    if (equalsIgnoringCase(content, word)) return value;
  }
  // The syntax is narrower than the lenient reading's; the conversion is the same.
  const std::string text(skipRealSpace(content));
  if (!isDecimalNumber(text)) return std::nullopt;
  return parseDouble(text);
}

// Whether the year `year` after 2001 is a leap year.
bool isLeapYearAfter2001(std::int64_t year) {
  std::int64_t y = (year + 1) % 400;
  if (y < 0) y = -y;
  return y % 4 == 0 && y != 100 && y != 200 && y != 300;
}

// [-]Y...-MM-DDTHH:MM:SSZ in UTC, read as CoreFoundation reads it: any number of year
// digits (kept to 32 bits as there), two digits for every other field and no range
// checked, so that 2001-02-29 is March 1st and a month past 13 counts as January.
std::optional<PlistDate> parseDate(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  std::uint32_t digits = 0;
  while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
    digits = digits * 10 + static_cast<std::uint32_t>(text.front() - '0');
    text.remove_prefix(1);
  }
  static constexpr std::string_view pattern = "-dd-ddTdd:dd:ddZ";
  if (text.size() != pattern.size()) return std::nullopt;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool isDigit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !isDigit : text[i] != pattern[i]) return std::nullopt;
  }
  const auto field = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  const int month = field(1), day = field(4), hour = field(7), minute = field(10), second = field(13);
  const auto year32 = static_cast<std::int32_t>(negative ? 0u - digits : digits);
  std::int64_t year = static_cast<std::int32_t>(static_cast<std::uint32_t>(year32) - 2001u);

  static constexpr int daysBeforeMonth[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
  double days = static_cast<double>(year / 400) * 146097.0;
  year %= 400;
  for (std::int64_t y = std::min<std::int64_t>(year, 0); y < std::max<std::int64_t>(year, 0); ++y) {
    days += (year < 0 ? -1 : 1) * (365 + (isLeapYearAfter2001(y) ? 1 : 0));
  }
  if (month >= 1 && month <= 13) days += daysBeforeMonth[month] + (month > 2 && isLeapYearAfter2001(year) ? 1 : 0);
  days += day - 1;
  return PlistDate{86400.0 * days + (3600.0 * hour + 60.0 * minute + second)};
}

std::optional<unsigned> base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
  if (c == '+') return 62u;
  if (c == '/') return 63u;
  return std::nullopt;
}

// Base64 as CoreFoundation decodes it: other ASCII characters are skipped, '=' counts as
// a zero digit that leaves out the bytes it pads, and an unfinished last group is
// dropped. Text beyond ASCII is refused.
std::optional<PlistData> decodeBase64(std::string_view text) {
  PlistData bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  int digits = 0;
  int padding = 0;
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte >= 0x80) return std::nullopt;
    if (c == '=') {
      ++padding;
    } else if (!std::isspace(byte)) {
      padding = 0;
    }
    const auto value = c == '=' ? std::optional<unsigned>(0) : base64Value(c);
    if (!value) continue;
    group = group << 6 | *value;
    if (++digits % 4 != 0) continue;
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (padding < 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (padding < 1) bytes.push_back(static_cast<std::uint8_t>(group));
  }
  return bytes;
}

// One entity reference, at the '&' that starts `text`, as CoreFoundation reads it: the
// five named ones, and a code point in up to eight decimal or lower-case-x hex
// characters with the ';'. Appends its UTF-8 and returns its length, or nothing.
std::optional<std::size_t> appendEntity(std::string_view text, std::string& out) {
  static constexpr std::pair<std::string_view, char> named[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
  for (const auto& [entity, c] : named) {
    if (text.starts_with(entity)) {
      out += c;
      return entity.size();
    }
  }
  if (!text.starts_with("&#")) return std::nullopt;
  const bool hex = text.size() > 2 && text[2] == 'x';
  std::uint32_t code = 0;
  for (std::size_t at = hex ? 3 : 2, count = 1; at < text.size() && count <= 8; ++at, ++count) {
    if (text[at] == ';') {
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
      appendUtf8(out, code);
      return at + 1;
    }
    const auto digit = digitValue(text[at], hex ? 16 : 10);
    if (!digit) return std::nullopt;
    code = code * (hex ? 16 : 10) + *digit;
  }
  return std::nullopt;
}

// The text of a <string>, <key> or <real> as CoreFoundation reads it: entities and CDATA
// sections, nothing else that starts with '<', and UTF-8 as CoreFoundation decodes it.
std::optional<std::string> decodeText(std::string_view raw) {
  std::string bytes;
  bytes.reserve(raw.size());
  for (std::size_t at = 0; at < raw.size();) {
    if (raw[at] == '&') {
      const auto length = appendEntity(raw.substr(at), bytes);
      if (!length) return std::nullopt;
      at += *length;
    } else if (raw[at] == '<') {
      constexpr std::string_view open = "<![CDATA[";
      const std::size_t close = raw.find("]]>", at + open.size());
      if (raw.compare(at, open.size(), open) != 0 || close == std::string_view::npos) return std::nullopt;
      bytes.append(raw.substr(at + open.size(), close - at - open.size()));
      at = close + 3;
    } else {
      bytes += raw[at++];
    }
  }
  return textFromUtf8(bytes);
}

bool startsWith(std::string_view text, std::size_t at, std::string_view prefix) {
  return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// Where `text` has `marker` at or after `from` and before the last `reserve` bytes.
std::optional<std::size_t> findBefore(std::string_view text, std::size_t from, std::string_view marker,
                                      std::size_t reserve) {
  const std::size_t at = text.find(marker, from);
  if (at == std::string_view::npos || text.size() < reserve || at >= text.size() - reserve) return std::nullopt;
  return at;
}

// The body as expat is given it, with what CoreFoundation takes and XML does not
// replaced one for one, so that expat checks the elements while every offset stays
// that of the body: in leaf contents, entity references (CoreFoundation reads its own),
// control characters, bytes that are no UTF-8, U+FFFE, U+FFFF and "]]>" outside CDATA
// become '_'; whatever follows an element's name in its start tag (CoreFoundation reads
// no attributes) becomes spaces. Prepared a piece at a time, as expat is fed, so that a
// document that fails early costs little.
class ExpatView {
 public:
  explicit ExpatView(std::string_view body) : body_(body), copy_(body) {}

  // The first `end` bytes, prepared.
  std::string_view upTo(std::size_t end) {
    replaceBytes(end);
    blankAttributes(end);
    return std::string_view(copy_).substr(0, end);
  }

 private:
  void replaceBytes(std::size_t end) {
    while (bytesDone_ < end) {
      const std::size_t at = bytesDone_;
      const auto byte = static_cast<std::uint8_t>(body_[at]);
      const std::size_t valid = utf8SequenceLength(body_, at);
      const std::size_t length = std::max<std::size_t>(valid, 1);
      const bool control = byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
      const bool nonCharacter = valid == 3 && body_.compare(at, 2, "\xEF\xBF") == 0 &&
                                (static_cast<std::uint8_t>(body_[at + 2]) & 0xFE) == 0xBE;
      if (valid == 0 || control || byte == '&' || nonCharacter) copy_.replace(at, length, length, '_');
      bytesDone_ += length;
    }
  }

  std::size_t skipPast(std::size_t from, std::string_view end) const {
    const std::size_t found = body_.find(end, from);
    return found == std::string_view::npos ? body_.size() : found + end.size();
  }

  void blankAttributes(std::size_t end) {
    std::size_t& at = tagsDone_;
    while (at < end) {
      at = std::min(body_.find_first_of("<]", at), body_.size());
      if (at >= end) return;
      if (body_.compare(at, 4, "<!--") == 0 || body_.compare(at, 2, "<?") == 0) {
        // Comments and processing instructions, which CoreFoundation skips unchecked,
        // become spaces; where CoreFoundation finds no end, expat is shown none either.
        const bool comment = body_[at + 1] == '!';
        const auto close = findBefore(body_, at + (comment ? 5 : 2), comment ? "-->" : "?>", comment ? 3 : 2);
        const std::size_t stop = close ? *close + (comment ? 3 : 2) : body_.size();
        replaceBytes(stop);
        if (close) {
          copy_.replace(at, stop - at, stop - at, ' ');
        } else {
          copy_[at + 1] = '_';
        }
        at = stop;
      } else if (body_.compare(at, 9, "<![CDATA[") == 0) {
        at = skipPast(at + 9, "]]>");
      } else if (body_.compare(at, 2, "</") == 0) {
        at = skipPast(at + 2, ">");
      } else if (body_[at] == '<' && body_.compare(at, 2, "</") != 0 && body_.compare(at, 2, "<!") != 0) {
        const std::size_t close = body_.find('>', at);
        if (close == std::string_view::npos) {
          at = body_.size();
          return;
        }
        // The replacements of the bytes come first, so that they never undo a blank.
        replaceBytes(close + 1);
        const std::size_t nameEnd = at + std::min(body_.substr(at, close - at).find_first_of(" \t\n\r"), close - at);
        const std::size_t attributesEnd = body_[close - 1] == '/' ? close - 1 : close;
        if (nameEnd < attributesEnd) copy_.replace(nameEnd, attributesEnd - nameEnd, attributesEnd - nameEnd, ' ');
        at = close + 1;
      } else if (body_.compare(at, 3, "]]>") == 0) {
        replaceBytes(at + 3);
        copy_.replace(at, 2, "__");
        at += 3;
      } else {
        ++at;
      }
    }
  }

  std::string_view body_;
  std::string copy_;
  std::size_t bytesDone_ = 0;
  std::size_t tagsDone_ = 0;
};

// Builds the value from expat's events on an explicit stack, so that no input can
// make the reader recurse. The bottom frame stands for the document, which holds one
// value, in a <plist> element or not, as CoreFoundation reads it; once that is read the
// parser stops, leaving whatever follows unread, as CoreFoundation does. Any error
// stops the parser at once.
class PlistBuilder {
 public:
  PlistBuilder(XML_Parser parser, std::string_view body) : parser_(parser), body_(body) {
    stack_.emplace_back(Element::Plist);
  }

  void startElement(std::string_view name) {
    if (failed_) return;
    const auto element = elementNamed(name);
    if (!element) return fail();
    const Frame& parent = stack_.back();
    if (*element == Element::Plist) {
      if (stack_.size() > 1) return fail();
      stack_.emplace_back(*element);
      return;
    }
    if (!isContainer(parent.element)) return fail();
    // A dictionary's entries start with a <key>; anywhere else CoreFoundation reads a
    // <key> as a string.
    if (parent.element == Element::Dict && !parent.key && *element != Element::Key) return fail();
    if (parent.element == Element::Plist && root_) return fail();
    const bool empty = isEmptyElementTag();
    // CoreFoundation refuses <data/> and <date/>, though not <data></data>.
    if ((*element == Element::Data || *element == Element::Date) && empty) return fail();
    if (*element == Element::Array || *element == Element::Dict) {
      if (++containerDepth_ > maxPlistDepth) return fail();
    }
    Frame& frame = stack_.emplace_back(*element);
    frame.empty = empty;
    frame.contentStart = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser_) + XML_GetCurrentByteCount(parser_));
  }

  void endElement() {
    if (failed_) return;
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    // Leaf contents are read from the body itself, as CoreFoundation reads them: text
    // with its own few entities and CDATA sections, numbers, dates and data as they stand.
    const auto end = static_cast<std::size_t>(XML_GetCurrentByteIndex(parser_));
    const std::string_view raw = frame.empty ? std::string_view() : body_.substr(frame.contentStart, end - frame.contentStart);
    const bool plain = raw.find('<') == std::string_view::npos;
    std::optional<PlistValue> value;
    switch (frame.element) {
      case Element::Plist:
        if (!root_) return fail();
        return finish();
      case Element::Key: {
        auto text = decodeText(raw);
        if (!text) return fail();
        if (stack_.back().element == Element::Dict && !stack_.back().key) {
          stack_.back().key = std::move(*text);
          return;
        }
        value = std::move(*text);
        break;
      }
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
        if (auto text = decodeText(raw)) value = std::move(*text);
        break;
      case Element::Integer:
        if (auto parsed = parseInteger(raw); parsed && plain) value = *parsed;
        break;
      case Element::Real:
        if (auto text = decodeText(raw)) {
          if (auto parsed = parseReal(*text)) value = *parsed;
        }
        break;
      case Element::Date:
        if (auto parsed = parseDate(raw); parsed && plain) value = *parsed;
        break;
      case Element::Data:
        if (auto parsed = decodeBase64(raw); parsed && plain) value = std::move(*parsed);
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
    if (stack_.size() == 1) finish();
  }

  void characters(std::string_view text) {
    if (failed_) return;
    Frame& frame = stack_.back();
    if (holdsText(frame.element)) return;
    // Only indentation may sit between elements, and nothing inside <true/> or <false/>.
    const bool indentation = isContainer(frame.element) && std::all_of(text.begin(), text.end(), isXmlSpace);
    if (!indentation) fail();
  }

  void fail() {
    if (failed_) return;
    failed_ = true;
    failedLine_ = XML_GetCurrentLineNumber(parser_);
    XML_StopParser(parser_, XML_FALSE);
  }

  bool finished() const { return finished_; }
  // The line (in the body) of what the builder refused; 0 when it refused nothing.
  XML_Size failedLine() const { return failed_ ? failedLine_ : 0; }

  std::optional<PlistValue> takeResult() {
    if (!finished_) return std::nullopt;
    return std::move(root_);
  }

 private:
  struct Frame {
    explicit Frame(Element e) : element(e) {}

    Element element;
    std::size_t contentStart = 0;    // where a leaf element's content starts in the body
    bool empty = false;              // written as an empty-element tag, <string/>
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

  // Whether the start tag being reported ends in "/>".
  bool isEmptyElementTag() const {
    int offset = 0, size = 0;
    const char* context = XML_GetInputContext(parser_, &offset, &size);
    const int count = XML_GetCurrentByteCount(parser_);
    return context != nullptr && count >= 2 && offset + count <= size && context[offset + count - 2] == '/';
  }

  void finish() {
    finished_ = true;
    XML_StopParser(parser_, XML_FALSE);
  }

  XML_Parser parser_;
  std::string_view body_;
  std::vector<Frame> stack_;
  std::optional<PlistValue> root_;
  int containerDepth_ = 0;
  XML_Size failedLine_ = 0;
  bool failed_ = false;
  bool finished_ = false;
};

PlistBuilder& builderOf(void* userData) { return *static_cast<PlistBuilder*>(userData); }

void XMLCALL onStartElement(void* userData, const XML_Char* name, const XML_Char**) {
  builderOf(userData).startElement(name);
}

void XMLCALL onEndElement(void* userData, const XML_Char*) { builderOf(userData).endElement(); }

void XMLCALL onCharacters(void* userData, const XML_Char* text, int length) {
  builderOf(userData).characters(std::string_view(text, static_cast<std::size_t>(length)));
}

// Where the document's first element starts, past the prolog, which CoreFoundation
// skips unchecked: a byte-order mark, processing instructions (the XML declaration
// among them) up to "?>", comments, and a DOCTYPE up to its first '>'. A DOCTYPE with
// an internal subset (entity declarations) stops it, and so nothing else is read.
std::optional<std::size_t> rootElementAt(std::string_view text) {
  std::size_t at = text.size() > 3 && text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  for (;;) {
    while (at < text.size() && isXmlSpace(text[at])) ++at;
    if (at + 1 >= text.size() || text[at] != '<') return std::nullopt;
    if (text[at + 1] == '?') {
      const auto end = findBefore(text, at + 2, "?>", 2);
      if (!end) return std::nullopt;
      at = *end + 2;
    } else if (startsWith(text, at, "<!--")) {
      // The search starts one byte past "<!--", as CoreFoundation's does.
      const auto end = findBefore(text, at + 5, "-->", 3);
      if (!end) return std::nullopt;
      at = *end + 3;
    } else if (text[at + 1] == '!') {
      if (!startsWith(text, at + 2, "DOCTYPE")) return std::nullopt;
      const std::size_t end = text.find_first_of("[>", at + 9);
      if (end == std::string_view::npos || text[end] == '[') return std::nullopt;
      at = end + 1;
    } else {
      return at;
    }
  }
}

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

std::optional<PlistValue> readXmlPropertyList(std::string_view bytes, XmlFailure* failure) {
  if (!isTextInUtf8(bytes)) {
    if (failure != nullptr) *failure = {1, "its XML declaration names an encoding other than UTF-8"};
    return std::nullopt;
  }
  return readXmlPropertyListText(bytes, failure);
}

std::optional<PlistValue> readXmlPropertyListText(std::string_view bytes, XmlFailure* failure) {
  const auto root = rootElementAt(bytes);
  const auto failAt = [&](std::size_t bodyLine, std::string reason) {
    if (failure != nullptr) {
      // Line breaks as expat counts them in the body: LF, CR, and CR LF as one.
      const std::string_view prolog = bytes.substr(0, root.value_or(0));
      std::size_t prologLines = 0;
      for (std::size_t at = 0; at < prolog.size(); ++at) {
        if (prolog[at] == '\n' || (prolog[at] == '\r' && (at + 1 == prolog.size() || prolog[at + 1] != '\n'))) {
          ++prologLines;
        }
      }
      *failure = {prologLines + bodyLine, std::move(reason)};
    }
    return std::nullopt;
  };
  if (!root) return failAt(1, "no element follows the XML declaration, comments and DOCTYPE");
  const std::string_view whole = bytes;
  bytes.remove_prefix(*root);
  const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate("UTF-8"));
  if (!parser) return std::nullopt;
  XML_SetHashSalt(parser.get(), processHashSalt());
  ExpatView view(bytes);
  PlistBuilder builder(parser.get(), bytes);
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), onStartElement, onEndElement);
  XML_SetCharacterDataHandler(parser.get(), onCharacters);

  // Pieces, because expat copies what it is given and a document that fails early
  // should not be copied whole first. Expat scans a token left unfinished at the end of
  // a piece again from its start with each further piece; pieces that double in size
  // keep that linear even when the whole document is one token, a 16 MiB comment say.
  constexpr std::size_t largestChunk = std::size_t{1} << 30;  // XML_Parse takes an int
  std::size_t chunkSize = std::size_t{1} << 16;
  for (std::size_t fed = 0;;) {
    const std::size_t size = std::min(bytes.size() - fed, chunkSize);
    const bool last = fed + size == bytes.size();
    const std::string_view piece = view.upTo(fed + size).substr(fed);
    if (XML_Parse(parser.get(), piece.data(), static_cast<int>(size), last) != XML_STATUS_OK || last) break;
    fed += size;
    chunkSize = std::min(2 * chunkSize, largestChunk);
  }
  auto result = builder.takeResult();
  if (result || failure == nullptr) return result;
  bytes = whole;
  if (const auto line = builder.failedLine(); line != 0) {
    return failAt(line, "an element or value a property list does not hold here");
  }
  if (const auto error = XML_GetErrorCode(parser.get()); error != XML_ERROR_NONE) {
    return failAt(XML_GetCurrentLineNumber(parser.get()), XML_ErrorString(error));
  }
  return failAt(XML_GetCurrentLineNumber(parser.get()), "the document ends inside its property list");
}
