// The old OpenStep text format, read as CoreFoundation reads it: strings (quoted or
// not), <hex data>, ( arrays ) and { dictionaries }, with comments, and the "strings
// file" form of bare `key = value;` pairs. Every scalar is a string. The parser follows
// CoreFoundation's step by step, down to where a failed part leaves the cursor, since
// its leniencies (a trailing comma, a bare `key;`, text after a strings file's last
// `;`) are what decide which files read at all.

// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/portable/plist_reader.h"
#include "values/unicode_text.h"

namespace {

using Units = std::vector<std::uint16_t>;

// NeXTSTEP Latin above 0x7F, the character set of octal escapes; the last two bytes
// stand for no character, and read as U+0000 as in CoreFoundation.
constexpr std::uint16_t nextStepLatin[128] = {
    0x00A0, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC,
    0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D9, 0x00DA, 0x00DB,
    0x00DC, 0x00DD, 0x00DE, 0x00B5, 0x00D7, 0x00F7, 0x00A9, 0x00A1, 0x00A2, 0x00A3, 0x2044, 0x00A5, 0x0192,
    0x00A7, 0x00A4, 0x2019, 0x201C, 0x00AB, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x00AE, 0x2013, 0x2020, 0x2021,
    0x00B7, 0x00A6, 0x00B6, 0x2022, 0x201A, 0x201E, 0x201D, 0x00BB, 0x2026, 0x2030, 0x00AC, 0x00BF, 0x00B9,
    0x02CB, 0x00B4, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x00A8, 0x00B2, 0x02DA, 0x00B8, 0x00B3, 0x02DD,
    0x02DB, 0x02C7, 0x2014, 0x00B1, 0x00BC, 0x00BD, 0x00BE, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5,
    0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00C6, 0x00ED, 0x00AA, 0x00EE, 0x00EF, 0x00F0, 0x00F1,
    0x0141, 0x00D8, 0x0152, 0x00BA, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00E6, 0x00F9, 0x00FA, 0x00FB,
    0x0131, 0x00FC, 0x00FD, 0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x00FF, 0x0000, 0x0000,
};

bool isUnquotedCharacter(std::uint16_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c == '/' || c == ':' || c == '.' || c == '-';
}

bool isLineEnd(std::uint16_t c) { return c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029; }

// The value of a hex digit, or nothing. Only the low byte of a unit counts, as in
// CoreFoundation: U+0130 reads as the digit 0.
std::optional<unsigned> hexDigit(std::uint16_t unit) { return hexDigitValue(static_cast<std::uint8_t>(unit)); }

class OpenStepParser {
 public:
  explicit OpenStepParser(std::string_view utf8) : utf8_(utf8) {}

  std::optional<PlistValue> readTop() {
    auto result = readValue();
    // The whole text must be UTF-8 as CoreFoundation decodes it, also past where the
    // value ended.
    if (!result) return std::nullopt;
    while (decoded_ < utf8_.size() && !invalid_) decodeMore();
    if (invalid_) return std::nullopt;
    return result;
  }

 private:
  std::optional<PlistValue> readValue() {
    // Nothing but white space and comments is an empty dictionary.
    if (!skipSpace()) return PlistDictionary{};
    auto result = object(0);
    if (!result || !skipSpace()) return result;
    // A string with more after it starts a strings file: the text is read again as the
    // inside of a dictionary.
    if (!result->is<std::string>()) return std::nullopt;
    at_ = 0;
    auto strings = dictionaryContent(0);
    if (!strings) return std::nullopt;
    return PlistValue(std::move(*strings));
  }

  // The text is decoded into UTF-16 units a piece at a time as the parser reaches it, so
  // that a document that fails early costs little; text that is no UTF-8 ends it.
  void decodeMore() {
    const std::size_t end = std::min(utf8_.size(), decoded_ + 4096);
    while (decoded_ < end) {
      const std::size_t length = utf8SequenceLength(utf8_, decoded_);
      if (length == 0) {
        // A stray 0xA9, the copyright sign of older encodings, is U+FFFD to CoreFoundation.
        if (utf8_[decoded_] != '\xA9') {
          invalid_ = true;
          return;
        }
        text_.push_back(0xFFFD);
        ++decoded_;
        continue;
      }
      const auto lead = static_cast<std::uint8_t>(utf8_[decoded_]);
      std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
      for (std::size_t k = 1; k < length; ++k)
        code = code << 6 | (static_cast<std::uint8_t>(utf8_[decoded_ + k]) & 0x3Fu);
      if (code >= 0x10000) {
        text_.push_back(static_cast<std::uint16_t>(0xD800 + ((code - 0x10000) >> 10)));
        text_.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
      } else {
        text_.push_back(static_cast<std::uint16_t>(code));
      }
      decoded_ += length;
    }
  }

  // Whether there is a unit at `index`.
  bool has(std::size_t index) {
    while (index >= text_.size() && decoded_ < utf8_.size() && !invalid_) decodeMore();
    return index < text_.size();
  }

  bool atEnd() { return !has(at_); }
  std::uint16_t current() const { return text_[at_]; }

  // Skips white space and comments; false when nothing else is left.
  bool skipSpace() {
    while (!atEnd()) {
      const std::uint16_t c = text_[at_++];
      if ((c >= 9 && c <= 13) || c == ' ' || c == 0x2028 || c == 0x2029) continue;
      if (c == '/' && !atEnd() && current() == '/') {
        while (!atEnd() && !isLineEnd(current())) ++at_;
      } else if (c == '/' && !atEnd() && current() == '*') {
        ++at_;
        while (!atEnd()) {
          const std::uint16_t inside = text_[at_++];
          if (inside == '*' && !atEnd() && current() == '/') {
            ++at_;
            break;
          }
        }
      } else {
        --at_;
        return true;
      }
    }
    return false;
  }

  // The character after a backslash; the cursor is past the backslash.
  std::uint16_t escaped() {
    const std::uint16_t c = text_[at_++];
    if (c >= '0' && c <= '7') {
      // Up to three octal digits, one byte of NeXTSTEP Latin, which matches ASCII below 0x80.
      unsigned byte = c - '0';
      for (int i = 0; i < 2 && !atEnd() && current() >= '0' && current() <= '7'; ++i) {
        byte = (byte << 3 | (current() - '0')) & 0xFF;
        ++at_;
      }
      return byte < 0x80 ? static_cast<std::uint16_t>(byte) : nextStepLatin[byte - 0x80];
    }
    if (c == 'U') {
      // Up to four hex digits; the first other character ends them.
      unsigned code = 0;
      for (int i = 0; i < 4 && !atEnd(); ++i) {
        const auto digit = current() < 0x80 ? hexDigit(current()) : std::nullopt;
        if (!digit) break;
        code = code << 4 | *digit;
        ++at_;
      }
      return static_cast<std::uint16_t>(code);
    }
    switch (c) {
      case 'a': return '\a';
      case 'b': return '\b';
      case 'f': return '\f';
      case 'n': return '\n';
      case 'r': return '\r';
      case 't': return '\t';
      case 'v': return '\v';
      default: return c;
    }
  }

  // The cursor is past the opening quote. An unterminated string leaves it there.
  std::optional<Units> quoted(std::uint16_t quote) {
    const std::size_t start = at_;
    Units units;
    while (!atEnd() && current() != quote) {
      if (current() != '\\') {
        units.push_back(text_[at_++]);
        continue;
      }
      if (!has(++at_)) return std::nullopt;
      units.push_back(escaped());
    }
    if (atEnd()) {
      at_ = start;
      return std::nullopt;
    }
    ++at_;
    return units;
  }

  Units unquoted() {
    const std::size_t start = at_;
    while (!atEnd() && isUnquotedCharacter(current())) ++at_;
    return Units(text_.begin() + static_cast<std::ptrdiff_t>(start), text_.begin() + static_cast<std::ptrdiff_t>(at_));
  }

  // A dictionary key: a quoted or unquoted string, or nothing.
  std::optional<Units> key() {
    if (!skipSpace()) return std::nullopt;
    const std::uint16_t c = current();
    if (c == '"' || c == '\'') {
      ++at_;
      return quoted(c);
    }
    if (isUnquotedCharacter(c)) return unquoted();
    return std::nullopt;
  }

  // `depth` counts the containers that hold the object.
  std::optional<PlistValue> object(int depth) {
    if (!skipSpace()) return std::nullopt;
    const std::uint16_t c = current();
    if (c == '{' || c == '(') {
      if (depth >= maxPlistDepth) return std::nullopt;
      ++at_;
      return c == '{' ? dictionary(depth) : array(depth);
    }
    if (c == '<') {
      ++at_;
      return data();
    }
    std::optional<Units> units;
    if (c == '"' || c == '\'') {
      ++at_;
      units = quoted(c);
    } else if (isUnquotedCharacter(c)) {
      units = unquoted();
    }
    if (!units) return std::nullopt;
    return PlistValue(utf8FromUtf16(*units));
  }

  // Elements separated by commas; a comma may follow the last one.
  std::optional<PlistValue> array(int depth) {
    PlistArray elements;
    auto element = object(depth + 1);
    while (element) {
      elements.push_back(std::move(*element));
      if (!skipSpace()) return std::nullopt;
      element.reset();
      if (current() == ',') {
        ++at_;
        element = object(depth + 1);
      }
    }
    if (!skipSpace() || current() != ')') return std::nullopt;
    ++at_;
    return PlistValue(std::move(elements));
  }

  // `key = value;` pairs, or a bare `key;` that stands for `key = key;`. A repeated key
  // takes the later value. Whatever follows the last `;` and starts no key is left for
  // the caller.
  std::optional<PlistDictionary> dictionaryContent(int depth) {
    PlistDictionary entries;
    auto name = key();
    while (name) {
      if (!skipSpace()) return std::nullopt;
      std::string keyText = utf8FromUtf16(*name);
      std::optional<PlistValue> value;
      if (current() == ';') {
        value = keyText;
      } else if (current() == '=') {
        ++at_;
        value = object(depth + 1);
      }
      if (!value) return std::nullopt;
      entries.insert_or_assign(std::move(keyText), std::move(*value));
      if (!skipSpace() || current() != ';') return std::nullopt;
      ++at_;
      name = key();
    }
    return entries;
  }

  std::optional<PlistValue> dictionary(int depth) {
    auto entries = dictionaryContent(depth);
    if (!entries || !skipSpace() || current() != '}') return std::nullopt;
    ++at_;
    return PlistValue(std::move(*entries));
  }

  // Pairs of hex digits, with white space between pairs, up to '>'.
  std::optional<PlistValue> data() {
    PlistData bytes;
    while (!atEnd() && current() != '>') {
      const std::uint16_t c = current();
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == 0x2028 || c == 0x2029) {
        ++at_;
        continue;
      }
      const auto high = hexDigit(c);
      if (!high || !has(++at_)) return std::nullopt;
      const auto low = hexDigit(current());
      if (!low) return std::nullopt;
      bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
      ++at_;
    }
    if (atEnd()) return std::nullopt;
    ++at_;
    return PlistValue(std::move(bytes));
  }

  std::string_view utf8_;
  std::size_t decoded_ = 0;
  bool invalid_ = false;
  Units text_;
  std::size_t at_ = 0;
};

}  // namespace

// Decoding UTF-8 drops a leading byte-order mark; converted text keeps its U+FEFF.
std::optional<PlistValue> readOpenStepPropertyList(std::string_view bytes) {
  if (!isTextInUtf8(bytes)) return std::nullopt;
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return readOpenStepPropertyListText(bytes);
}

std::optional<PlistValue> readOpenStepPropertyListText(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return OpenStepParser(text).readTop();
}

#endif
