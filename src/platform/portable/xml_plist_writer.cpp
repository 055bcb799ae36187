// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include "platform/portable/plist_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include <utf8proc.h>

#include "platform/portable/civil_dates.h"

namespace {

constexpr std::string_view header =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

void appendIndent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth), '\t'); }

// The characters XML 1.0 allows in a document; no escape can express the others.
bool isXmlCharacter(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Text content with the markup characters escaped; false when XML cannot carry the text.
// A carriage return is written as a character reference because a parser turns a raw
// one into a line feed. A leading U+FEFF, even as a reference, is dropped as a
// byte-order mark when CoreFoundation reads the text.
bool appendEscaped(std::string& out, std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) return false;
  while (!text.empty()) {
    utf8proc_int32_t codePoint = 0;
    const auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                         static_cast<utf8proc_ssize_t>(text.size()), &codePoint);
    if (length <= 0 || !isXmlCharacter(static_cast<char32_t>(codePoint))) return false;
    const auto used = static_cast<std::size_t>(length);
    switch (codePoint) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#13;"; break;
      default: out += text.substr(0, used);
    }
    text.remove_prefix(used);
  }
  return true;
}

void appendElement(std::string& out, std::string_view tag, std::string_view text) {
  out += '<';
  out += tag;
  out += '>';
  out += text;
  out += "</";
  out += tag;
  out += ">\n";
}

// XML integers span -2^63 to 2^64-1.
bool fitsXml(PlistInt128 value) {
  return value >= std::numeric_limits<std::int64_t>::min() &&
         value <= static_cast<PlistInt128>(std::numeric_limits<std::uint64_t>::max());
}

// Within that range, every integer is a signed or an unsigned 64-bit one.
std::string integerText(PlistInt128 value) {
  char buffer[24];
  const auto result = value < 0 ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value))
                                : std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::uint64_t>(value));
  return std::string(buffer, result.ptr);
}

std::string realText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

constexpr std::int64_t secondsPerDay = 86400;
// The four-digit years readers accept.
constexpr std::int64_t earliestSecond = (daysFromCivil(1, 1, 1) - referenceDay) * secondsPerDay;
constexpr std::int64_t latestSecond = (daysFromCivil(10000, 1, 1) - referenceDay) * secondsPerDay - 1;

void appendDigits(std::string& out, std::int64_t value, int width) {
  char buffer[8];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(static_cast<std::size_t>(std::max<std::ptrdiff_t>(0, width - (result.ptr - buffer))), '0');
  out.append(buffer, result.ptr);
}

// XML property lists store dates in whole seconds of the years 1 to 9999; nothing for
// any other date.
std::optional<std::string> dateText(double secondsSince2001) {
  if (!(secondsSince2001 >= static_cast<double>(earliestSecond) &&
        secondsSince2001 <= static_cast<double>(latestSecond)) ||
      std::floor(secondsSince2001) != secondsSince2001) {
    return std::nullopt;
  }
  const auto total = static_cast<std::int64_t>(secondsSince2001);
  const std::int64_t dayOffset = total >= 0 ? total / secondsPerDay : (total - secondsPerDay + 1) / secondsPerDay;
  const std::int64_t secondOfDay = total - dayOffset * secondsPerDay;
  const CivilDate date = civilFromDays(referenceDay + dayOffset);

  std::string text;
  appendDigits(text, date.year, 4);
  text += '-';
  appendDigits(text, date.month, 2);
  text += '-';
  appendDigits(text, date.day, 2);
  text += 'T';
  appendDigits(text, secondOfDay / 3600, 2);
  text += ':';
  appendDigits(text, secondOfDay / 60 % 60, 2);
  text += ':';
  appendDigits(text, secondOfDay % 60, 2);
  text += 'Z';
  return text;
}

// Base64 in lines that, with their indentation counted as eight columns a tab, stay
// within 76 columns, the layout CoreFoundation uses.
void appendData(std::string& out, const PlistData& data, int depth) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto lineLength = static_cast<std::size_t>(76 - 8 * std::min(depth, 8));

  appendIndent(out, depth);
  out += "<data>\n";
  std::string encoded;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16;
    if (count > 1) group |= static_cast<std::uint32_t>(data[i + 1]) << 8;
    if (count > 2) group |= data[i + 2];
    for (std::size_t j = 0; j < 4; ++j) {
      encoded += j <= count ? alphabet[(group >> (18 - 6 * j)) & 0x3Fu] : '=';
    }
  }
  for (std::size_t start = 0; start < encoded.size(); start += lineLength) {
    appendIndent(out, depth);
    out += std::string_view(encoded).substr(start, lineLength);
    out += '\n';
  }
  appendIndent(out, depth);
  out += "</data>\n";
}

bool appendValue(std::string& out, const PlistValue& value, int depth);

bool appendArray(std::string& out, const PlistArray& array, int depth) {
  appendIndent(out, depth);
  if (array.empty()) {
    out += "<array/>\n";
    return true;
  }
  out += "<array>\n";
  for (const auto& element : array) {
    if (!appendValue(out, element, depth + 1)) return false;
  }
  appendIndent(out, depth);
  out += "</array>\n";
  return true;
}

bool appendDictionary(std::string& out, const PlistDictionary& dictionary, int depth) {
  appendIndent(out, depth);
  if (dictionary.empty()) {
    out += "<dict/>\n";
    return true;
  }
  out += "<dict>\n";
  for (const auto& [key, element] : dictionary) {
    appendIndent(out, depth + 1);
    std::string escaped;
    if (!appendEscaped(escaped, key)) return false;
    appendElement(out, "key", escaped);
    if (!appendValue(out, element, depth + 1)) return false;
  }
  appendIndent(out, depth);
  out += "</dict>\n";
  return true;
}

bool appendValue(std::string& out, const PlistValue& value, int depth) {
  if (const auto* array = value.get<PlistArray>()) return appendArray(out, *array, depth);
  if (const auto* dictionary = value.get<PlistDictionary>()) return appendDictionary(out, *dictionary, depth);
  if (const auto* data = value.get<PlistData>()) {
    appendData(out, *data, depth);
    return true;
  }
  appendIndent(out, depth);
  if (const auto* b = value.get<bool>()) {
    out += *b ? "<true/>\n" : "<false/>\n";
  } else if (const auto* integer = value.get<PlistInteger>()) {
    if (!fitsXml(integer->value)) return false;
    appendElement(out, "integer", integerText(integer->value));
  } else if (const auto* real = value.get<double>()) {
    appendElement(out, "real", realText(*real));
  } else if (const auto* text = value.get<std::string>()) {
    std::string escaped;
    if (!appendEscaped(escaped, *text)) return false;
    appendElement(out, "string", escaped);
  } else if (const auto* date = value.get<PlistDate>()) {
    const auto written = dateText(date->secondsSince2001);
    if (!written) return false;
    appendElement(out, "date", *written);
  }
  return true;
}

}  // namespace

std::optional<std::string> writeXmlPropertyList(const PlistValue& value) {
  std::string out(header);
  if (!appendValue(out, value, 0)) return std::nullopt;
  out += "</plist>\n";
  return out;
}

#endif
