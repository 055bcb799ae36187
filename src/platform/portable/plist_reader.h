#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "values/plist_value.h"

// A property list in binary ("bplist0"), XML or OpenStep text form, tried in that order
// as CoreFoundation tries them, or nothing when the bytes are none of them. Never
// crashes or hangs, and uses memory in proportion to the input, whatever it holds.
std::optional<PlistValue> readPropertyList(std::string_view bytes);

// Whether CoreFoundation takes a text property list for UTF-8: no UTF-16 or UTF-32
// byte-order mark or NUL in the first two bytes, and no XML declaration that names
// another encoding (those it converts; the portable reader reads UTF-16 and UTF-32 and
// refuses the others).
bool isTextInUtf8(std::string_view text);

// `bytes` as CoreFoundation decodes UTF-8 text: a leading byte-order mark dropped, and
// strictly, except that a 0xA9 byte outside any sequence (the copyright sign of older
// encodings) becomes U+FFFD; nothing when other bytes are no UTF-8.
std::optional<std::string> textFromUtf8(std::string_view bytes);

// Why readPropertyList(bytes) gives nothing, in words, with the line of an XML error;
// empty when it reads.
std::string describePropertyListFailure(std::string_view bytes);

// The value of `c` as a hexadecimal digit, either case, or nothing: for the numbers and
// character references of the text readers.
std::optional<unsigned> hexDigitValue(unsigned char c);

// Where an XML property list stopped reading, and why.
struct XmlFailure {
  std::size_t line = 1;
  std::string reason;
};

// When they give nothing, `failure` (if given) says where and why.
std::optional<PlistValue> readXmlPropertyList(std::string_view bytes, XmlFailure* failure = nullptr);
std::optional<PlistValue> readBinaryPropertyList(std::string_view bytes);
std::optional<PlistValue> readOpenStepPropertyList(std::string_view bytes);

// The same for `text` converted to UTF-8 from another encoding: an XML declaration's
// encoding no longer counts.
std::optional<PlistValue> readXmlPropertyListText(std::string_view text, XmlFailure* failure = nullptr);
std::optional<PlistValue> readOpenStepPropertyListText(std::string_view text);
