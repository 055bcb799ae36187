// The XML property-list dialect, read as CoreFoundation's parser reads it, which is no
// XML parser: the prolog, comments and processing instructions are skipped unchecked,
// nothing after a tag's name is read, text takes CoreFoundation's own entities and
// CDATA sections, and each leaf is read where it stands. One pass over the bytes;
// open containers wait on an explicit stack, so no input can make the reader recurse.

// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/portable/plist_reader.h"
#include "values/coercions.h"
#include "values/unicode_text.h"

namespace {

enum class Element { Plist, Array, Dict, Key, String, Integer, Real, Date, Data, True, False };

constexpr std::pair<std::string_view, Element> elementNames[] = {
    {"plist", Element::Plist},   {"array", Element::Array},     {"dict", Element::Dict},   {"key", Element::Key},
    {"string", Element::String}, {"integer", Element::Integer}, {"real", Element::Real},   {"date", Element::Date},
    {"data", Element::Data},     {"true", Element::True},       {"false", Element::False},
};

std::optional<Element> elementNamed(std::string_view name) {
  for (const auto& [candidate, element] : elementNames) {
    if (candidate == name) return element;
  }
  return std::nullopt;
}

std::string_view nameOf(Element element) {
  return std::find_if(std::begin(elementNames), std::end(elementNames),
                      [&](const auto& entry) { return entry.second == element; })
      ->first;
}

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The value of `c` as a digit in `base` (10 or 16), or nothing.
std::optional<unsigned> digitValue(char c, unsigned base) {
  const auto digit = hexDigitValue(static_cast<unsigned char>(c));
  if (!digit || *digit >= base) return std::nullopt;
  return digit;
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
  const std::int64_t wholeCycles = year / 400;  // 400-year cycles, whole by intent
  double days = static_cast<double>(wholeCycles) * 146097.0;
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
// five named ones, and a code point in up to eight decimal or lower-case-x hex digits
// before the ';'. Appends its UTF-8 and returns its length, or nothing.
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
  const std::size_t first = hex ? 3 : 2;
  std::uint32_t code = 0;
  for (std::size_t at = first; at < text.size() && at <= first + 8; ++at) {
    if (text[at] == ';') {
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
      appendUtf8(out, code);
      return at + 1;
    }
    const auto digit = at < first + 8 ? digitValue(text[at], hex ? 16 : 10) : std::nullopt;
    if (!digit) return std::nullopt;
    code = code * (hex ? 16 : 10) + *digit;
  }
  return std::nullopt;
}

// Where `text` has `marker` at or after `from` with at least one byte after it, as
// CoreFoundation looks for the end of a comment or processing instruction.
std::optional<std::size_t> findBefore(std::string_view text, std::size_t from, std::string_view marker) {
  const std::size_t at = text.find(marker, from);
  if (at == std::string_view::npos || at + marker.size() >= text.size()) return std::nullopt;
  return at;
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
    const std::string_view rest = text.substr(at);
    if (rest[1] == '?') {
      const auto end = findBefore(text, at + 2, "?>");
      if (!end) return std::nullopt;
      at = *end + 2;
    } else if (rest.starts_with("<!--")) {
      // The search starts one byte past "<!--", as CoreFoundation's does here.
      const auto end = findBefore(text, at + 5, "-->");
      if (!end) return std::nullopt;
      at = *end + 3;
    } else if (rest[1] == '!') {
      if (!rest.substr(2).starts_with("DOCTYPE")) return std::nullopt;
      const std::size_t end = text.find_first_of("[>", at + 9);
      if (end == std::string_view::npos || text[end] == '[') return std::nullopt;
      at = end + 1;
    } else {
      return at;
    }
  }
}

// A dictionary that holds one number under "CF$UID": CoreFoundation reads it as a keyed
// archive's UID, which is no value any reader here gives.
bool isArchiveUid(const PlistDictionary& entries) {
  if (entries.size() != 1 || entries.begin()->first != "CF$UID") return false;
  const PlistValue& value = entries.begin()->second;
  return value.is<PlistInteger>() || value.is<double>();
}

// A container still open: the document's <plist>, which holds one value, an <array> or
// a <dict>.
struct Frame {
  Element element;
  PlistArray values;               // an array's elements, or the plist's one value
  PlistDictionary entries;         // a dictionary's entries
  std::optional<std::string> key;  // a dictionary's key still waiting for its value
};

class XmlReader {
 public:
  // `at` is the '<' of the first element.
  XmlReader(std::string_view text, std::size_t at) : text_(text), at_(at + 1) {}

  // Each turn reads one start tag and what it opens; a leaf is read whole. Then, in the
  // container that holds it, the reader moves on to the next start tag, closing the
  // containers whose end tags come first. The first value that is held by nothing is
  // the result, and nothing after it is read.
  std::optional<PlistValue> read() {
    for (;;) {
      const auto tag = startTag();
      if (!tag) return std::nullopt;
      if (!fits(tag->element)) return fail("<" + std::string(nameOf(tag->element)) + "> cannot stand here");
      const bool container = tag->element == Element::Array || tag->element == Element::Dict;
      // Empty arrays and dictionaries count toward the depth too.
      if (container && depth_ >= maxPlistDepth) return fail("arrays and dictionaries nest too deep");
      if (!tag->empty && (container || tag->element == Element::Plist)) {
        if (container) ++depth_;
        stack_.push_back(Frame{tag->element, {}, {}, {}});
      } else {
        auto value = tag->empty ? emptyElement(tag->element) : leaf(tag->element);
        if (!value) {
          return fail(why_.empty() ? "<" + std::string(nameOf(tag->element)) + "> does not hold a value it can take"
                                   : why_);
        }
        if (stack_.empty()) return value;
        place(std::move(*value), tag->element == Element::Key);
      }
      for (Next next = nextTag(); next != Next::StartTag; next = nextTag()) {
        auto closed = next == Next::EndTag ? close() : fail("text or markup stands where a tag should");
        if (!closed) return std::nullopt;
        if (stack_.empty()) return closed;
        place(std::move(*closed), false);
      }
    }
  }

 private:
  struct Tag {
    Element element;
    bool empty;  // written as an empty-element tag, <string/>
  };

  // The start tag whose name starts at the cursor, up to its '>'. Its name ends at white
  // space, and nothing after it is read but a '/' before the '>'.
  std::optional<Tag> startTag() {
    const std::size_t close = text_.find('>', at_);
    if (close == std::string_view::npos) return fail("a tag has no closing '>'");
    const bool empty = text_[close - 1] == '/';
    std::size_t nameEnd = at_;
    while (nameEnd < close && !isXmlSpace(text_[nameEnd])) ++nameEnd;
    if (nameEnd == close && empty) --nameEnd;
    const auto element = elementNamed(text_.substr(at_, nameEnd - at_));
    if (!element) return fail("a property list has no element <" + std::string(text_.substr(at_, nameEnd - at_)) + ">");
    at_ = close + 1;
    return Tag{*element, empty};
  }

  // Whether `element` may start where the cursor is: <plist> only around the document,
  // one value in it, and a <key> first in each of a dictionary's entries.
  bool fits(Element element) const {
    if (stack_.empty()) return true;
    const Frame& parent = stack_.back();
    if (element == Element::Plist) return false;
    if (parent.element == Element::Plist) return parent.values.empty();
    return parent.element != Element::Dict || parent.key || element == Element::Key;
  }

  void place(PlistValue value, bool isKey) {
    Frame& parent = stack_.back();
    if (parent.element != Element::Dict) {
      parent.values.push_back(std::move(value));
    } else if (isKey && !parent.key) {
      parent.key = std::move(*std::get_if<std::string>(&value.storage));
    } else {
      // A repeated key takes the later value.
      parent.entries.insert_or_assign(std::move(*parent.key), std::move(value));
      parent.key.reset();
    }
  }

  enum class Next { StartTag, EndTag, Broken };

  // Skips white space, comments and processing instructions inside a container, to the
  // name of the next start tag or the '<' of an end tag. What is skipped follows
  // CoreFoundation's rules for a body, not a prolog: a comment's search for "-->"
  // starts right after "<!--", a processing instruction's "?>" may share the '?' of
  // "<?", and nothing else is taken.
  Next nextTag() {
    for (;;) {
      while (at_ < text_.size() && isXmlSpace(text_[at_])) ++at_;
      if (at_ + 1 >= text_.size() || text_[at_] != '<') return Next::Broken;
      const char next = text_[at_ + 1];
      if (next == '/') return Next::EndTag;
      if (next != '?' && next != '!') {
        at_ += 1;
        return Next::StartTag;
      }
      const bool comment = next == '!';
      if (comment && text_.compare(at_ + 1, 3, "!--") != 0) return Next::Broken;
      const auto end = findBefore(text_, at_ + (comment ? 4 : 1), comment ? "-->" : "?>");
      if (!end) return Next::Broken;
      at_ = *end + (comment ? 3 : 2);
    }
  }

  // The container on top of the stack, ended by its end tag at the cursor.
  std::optional<PlistValue> close() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (!endTag(frame.element)) return fail(why_);
    switch (frame.element) {
      case Element::Plist:
        if (frame.values.empty()) return fail("<plist> holds no value");
        return std::move(frame.values.front());
      case Element::Dict:
        --depth_;
        if (frame.key) return fail("a <key> has no value");
        if (isArchiveUid(frame.entries)) return fail("a CF$UID dictionary stands for an archive's UID");
        return PlistValue(std::move(frame.entries));
      default: --depth_; return PlistValue(std::move(frame.values));
    }
  }

  // "</name>", white space allowed before the '>'.
  bool endTag(Element element) {
    const std::string_view name = nameOf(element);
    std::size_t end = at_ + 2 + name.size();
    while (end < text_.size() && isXmlSpace(text_[end])) ++end;
    if (!text_.substr(at_).starts_with("</") || !text_.substr(at_ + 2).starts_with(name) || end >= text_.size() ||
        text_[end] != '>') {
      why_ = "the end tag does not match <" + std::string(name) + ">";
      return false;
    }
    at_ = end + 1;
    return true;
  }

  // An empty-element tag, <string/>.
  static std::optional<PlistValue> emptyElement(Element element) {
    switch (element) {
      case Element::Array: return PlistArray{};
      case Element::Dict: return PlistDictionary{};
      case Element::Key:
      case Element::String: return std::string();
      case Element::True: return true;
      case Element::False: return false;
      default: return std::nullopt;  // as CoreFoundation refuses <plist/>, <data/>, <date/> and numbers
    }
  }

  // The leaf whose content starts at the cursor, with its end tag.
  std::optional<PlistValue> leaf(Element element) {
    std::optional<PlistValue> value;
    switch (element) {
      case Element::Key:
      case Element::String:
        if (auto text = readText()) value = std::move(*text);
        break;
      case Element::Real:
        if (auto text = readText()) {
          if (auto parsed = parseReal(*text)) value = *parsed;
        }
        break;
      case Element::Integer:
        if (auto parsed = parseInteger(plainText())) value = *parsed;
        break;
      case Element::Date:
        if (auto parsed = parseDate(plainText())) value = *parsed;
        break;
      case Element::Data:
        if (auto parsed = decodeBase64(plainText())) value = std::move(*parsed);
        break;
      case Element::True: value = true; break;
      case Element::False: value = false; break;
      default: break;
    }
    if (!value || !endTag(element)) return std::nullopt;
    return value;
  }

  // Numbers, dates and data are read as they stand, up to the next '<'.
  std::string_view plainText() {
    const std::size_t start = at_;
    at_ = std::min(text_.find('<', at_), text_.size());
    return text_.substr(start, at_ - start);
  }

  // Text up to the next '<' that starts no CDATA section, with entities and CDATA
  // sections read, as UTF-8 as CoreFoundation decodes it.
  std::optional<std::string> readText() {
    std::string bytes;
    bool copied = false;
    std::size_t mark = at_;
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c != '<' && c != '&') {
        ++at_;
        continue;
      }
      if (c == '<' && (at_ + 1 >= text_.size() || text_[at_ + 1] != '!')) break;
      bytes.append(text_.substr(mark, at_ - mark));
      copied = true;
      if (c == '&') {
        const auto length = appendEntity(text_.substr(at_), bytes);
        if (!length) return std::nullopt;
        at_ += *length;
      } else {
        constexpr std::string_view open = "<![CDATA[";
        const std::size_t end = text_.find("]]>", at_ + open.size());
        if (!text_.substr(at_).starts_with(open) || end == std::string_view::npos) return std::nullopt;
        bytes.append(text_.substr(at_ + open.size(), end - at_ - open.size()));
        at_ = end + 3;
      }
      mark = at_;
    }
    if (!copied) return textFromUtf8(text_.substr(mark, at_ - mark));
    bytes.append(text_.substr(mark, at_ - mark));
    return textFromUtf8(bytes);
  }

  // Remembers why the document does not read, for the developer told so, and gives up.
  std::nullopt_t fail(std::string why) {
    why_ = std::move(why);
    return std::nullopt;
  }

 public:
  // Where the reader stopped: the line of the cursor (CR LF, LF or CR ends a line).
  XmlFailure failure() const {
    std::size_t line = 1;
    for (std::size_t i = 0; i < at_ && i < text_.size(); ++i) {
      if (text_[i] == '\n' || (text_[i] == '\r' && (i + 1 >= text_.size() || text_[i + 1] != '\n'))) ++line;
    }
    return {line, why_};
  }

 private:
  std::string_view text_;
  std::size_t at_;
  std::vector<Frame> stack_;
  int depth_ = 0;    // arrays and dictionaries open
  std::string why_;  // why the document does not read, once it does not
};

}  // namespace

std::optional<PlistValue> readXmlPropertyList(std::string_view bytes, XmlFailure* failure) {
  if (!isTextInUtf8(bytes)) {
    if (failure != nullptr) *failure = {1, "its XML declaration names an encoding other than UTF-8"};
    return std::nullopt;
  }
  return readXmlPropertyListText(bytes, failure);
}

std::optional<PlistValue> readXmlPropertyListText(std::string_view text, XmlFailure* failure) {
  const auto root = rootElementAt(text);
  if (!root) {
    if (failure != nullptr) *failure = {1, "no element follows the XML declaration, comments and DOCTYPE"};
    return std::nullopt;
  }
  XmlReader reader(text, *root);
  auto value = reader.read();
  if (!value && failure != nullptr) *failure = reader.failure();
  return value;
}

#endif
