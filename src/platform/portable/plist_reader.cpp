// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include "platform/portable/plist_reader.h"

#include <cctype>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "values/unicode_text.h"

bool isTextInUtf8(std::string_view text) {
  if (text.size() > 2 &&
      (text[0] == '\0' || text[1] == '\0' || text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF"))) {
    return false;
  }
  if (!text.starts_with("<?xml")) return true;
  for (std::size_t at = 5; at < text.size(); ++at) {
    if (text[at] == '?' || text[at] == '>') return true;
    if (at + 9 >= text.size()) return false;
    if (text.compare(at, 9, "encoding=") != 0) continue;
    const char quote = text[at + 9];
    if (quote != '"' && quote != '\'') return true;
    const std::size_t close = text.find(quote, at + 10);
    if (close == std::string_view::npos) return true;
    // Encoding names are ASCII, end at a NUL, are shorter than 60 bytes, and match
    // ignoring case and all but letters and digits: "UTF8", "utf_8".
    const std::string_view declared = text.substr(at + 10, close - at - 10);
    const std::string_view used = declared.substr(0, declared.find('\0'));
    std::string name;
    if (used.size() >= 60) return false;
    for (const char c : declared) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    for (const char c : used) {
      if (std::isalnum(static_cast<unsigned char>(c)))
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name == "utf8";
  }
  return true;
}

std::optional<std::string> textFromUtf8(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = utf8SequenceLength(bytes, at);
    if (length > 0) {
      text.append(bytes.substr(at, length));
      at += length;
    } else if (bytes[at] == '\xA9') {
      text += "\xEF\xBF\xBD";
      ++at;
    } else {
      return std::nullopt;
    }
  }
  return text;
}

std::optional<unsigned> hexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

namespace {

// Text in UTF-16 or UTF-32 as CoreFoundation finds and converts it: after a byte-order
// mark, or little-endian after the first two bytes when one of them is NUL, a trailing
// odd byte dropped. Gives the text as UTF-8, whole for the
// OpenStep reader and up to the first unpaired surrogate for the XML reader, as
// CoreFoundation's own conversion to UTF-8 stops there.
struct WideText {
  std::string whole;
  std::string upToUnpairedSurrogate;
};

std::optional<WideText> textFromWide(std::string_view bytes) {
  std::size_t width = 2, skip = 2;
  bool bigEndian = false;
  if (bytes.size() > 4 && (bytes.starts_with(std::string_view("\0\0\xFE\xFF", 4)) ||
                           bytes.starts_with(std::string_view("\xFF\xFE\0\0", 4)))) {
    width = skip = 4;
    bigEndian = bytes[0] == '\0';
  } else if (bytes.size() > 2 && (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF"))) {
    bigEndian = bytes[0] == '\xFE';
  } else if (bytes.size() <= 2 || (bytes[0] != '\0' && bytes[1] != '\0')) {
    return std::nullopt;
  }
  std::vector<std::uint16_t> units;
  for (std::size_t at = skip; at + width <= bytes.size(); at += width) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const auto byte = static_cast<std::uint8_t>(bytes[at + (bigEndian ? i : width - 1 - i)]);
      code = code << 8 | byte;
    }
    if (width == 4 && (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) return std::nullopt;
    if (code >= 0x10000) {
      units.push_back(static_cast<std::uint16_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      units.push_back(static_cast<std::uint16_t>(code));
    }
  }
  std::size_t paired = 0;
  while (paired < units.size()) {
    const bool high = units[paired] >= 0xD800 && units[paired] <= 0xDBFF;
    const bool low = units[paired] >= 0xDC00 && units[paired] <= 0xDFFF;
    const bool pairs = high && paired + 1 < units.size() && units[paired + 1] >= 0xDC00 && units[paired + 1] <= 0xDFFF;
    if ((high || low) && !pairs) break;
    paired += pairs ? 2 : 1;
  }
  return WideText{utf8FromUtf16(units), utf8FromUtf16(std::span(units).first(paired))};
}

}  // namespace

std::optional<PlistValue> readPropertyList(std::string_view bytes) {
  if (auto binary = readBinaryPropertyList(bytes)) return binary;
  if (const auto wide = textFromWide(bytes)) {
    if (auto xml = readXmlPropertyListText(wide->upToUnpairedSurrogate)) return xml;
    return readOpenStepPropertyListText(wide->whole);
  }
  if (auto xml = readXmlPropertyList(bytes)) return xml;
  return readOpenStepPropertyList(bytes);
}

std::string describePropertyListFailure(std::string_view bytes) {
  if (readPropertyList(bytes)) return {};
  if (bytes.starts_with("bplist")) return "the binary property list is damaged or cut short";
  XmlFailure failure;
  const auto wide = textFromWide(bytes);
  const std::string_view text = wide ? std::string_view(wide->upToUnpairedSurrogate) : bytes;
  // Both give nothing here, as readPropertyList did; what matters is the failure.
  if (wide) {
    readXmlPropertyListText(text, &failure);
  } else {
    readXmlPropertyList(text, &failure);
  }
  const auto start = text.find_first_not_of(" \t\r\n", text.starts_with("\xEF\xBB\xBF") ? 3 : 0);
  if (start != std::string_view::npos && text[start] == '<') {
    return "XML error on line " + std::to_string(failure.line) + ": " + failure.reason;
  }
  return "it is neither a binary property list nor XML, and does not read as OpenStep text";
}

#endif
