#include "values/unicode_text.h"

#include <utility>

namespace {

// The code point that starts `text`, and how many bytes it takes; nothing when those
// bytes are not well-formed UTF-8 (the ranges of the Unicode standard's table 3-7).
std::optional<std::pair<char32_t, std::size_t>> decodeFirst(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return std::pair{char32_t{lead}, std::size_t{1}};
  std::size_t length = 0;
  char32_t codePoint = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return std::nullopt;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80) return std::nullopt;
    codePoint = (codePoint << 6) | (byte(i) & 0x3Fu);
  }
  return std::pair{codePoint, length};
}

}  // namespace

void appendUtf8(std::string& out, char32_t c) {
  const auto put = [&](std::uint32_t bits) { out += static_cast<char>(bits); };
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | (c >> 6));
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | (c >> 12));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | (c >> 18));
    put(0x80 | ((c >> 12) & 0x3F));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  if (at >= text.size()) return 0;
  const auto decoded = decodeFirst(text.substr(at));
  return decoded ? decoded->second : 0;
}

bool isValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const auto decoded = decodeFirst(text);
    if (!decoded) return false;
    text.remove_prefix(decoded->second);
  }
  return true;
}

std::optional<std::vector<std::uint16_t>> utf16FromUtf8(std::string_view text) {
  std::vector<std::uint16_t> units;
  units.reserve(text.size());
  while (!text.empty()) {
    const auto decoded = decodeFirst(text);
    if (!decoded) return std::nullopt;
    const char32_t c = decoded->first;
    if (c < 0x10000) {
      units.push_back(static_cast<std::uint16_t>(c));
    } else {
      units.push_back(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
    text.remove_prefix(decoded->second);
  }
  return units;
}

std::string utf8FromUtf16(std::span<const std::uint16_t> units) {
  const auto isHigh = [](char32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  const auto isLow = [](char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t codePoint = units[i];
    if (isHigh(codePoint) && i + 1 < units.size() && isLow(units[i + 1])) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (isHigh(codePoint) || isLow(codePoint)) {
      codePoint = 0xFFFD;
    }
    appendUtf8(out, codePoint);
  }
  return out;
}
