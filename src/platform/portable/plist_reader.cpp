#include "platform/portable/plist_reader.h"

#include <cctype>
#include <cstdint>

bool isTextInUtf8(std::string_view text) {
  if (text.size() > 2 && (text[0] == '\0' || text[1] == '\0' || text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF"))) {
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
    // Encoding names match ignoring case and all but letters and digits: "UTF8", "utf_8".
    std::string name;
    for (const char c : text.substr(at + 10, close - at - 10)) {
      if (std::isalnum(static_cast<unsigned char>(c))) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name == "utf8";
  }
  return true;
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  const std::size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || text.size() - at < length) return 0;
  // No overlong forms, surrogates or code points past U+10FFFF.
  if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) || (lead == 0xF0 && byte(1) < 0x90) ||
      (lead == 0xF4 && byte(1) > 0x8F)) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
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

std::optional<PlistValue> readPropertyList(std::string_view bytes) {
  if (auto binary = readBinaryPropertyList(bytes)) return binary;
  if (auto xml = readXmlPropertyList(bytes)) return xml;
  return readOpenStepPropertyList(bytes);
}
