// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include <utf8proc.h>

#include "platform/portable/plist_writer.h"

namespace {

// Each value, and each dictionary key, is one object; objects are numbered in the order
// they are written, a container before what it holds. Nothing is shared: a preferences
// domain is small, and a reader needs no more than the references each object names.
class BinaryWriter {
 public:
  std::string write(const PlistValue& top) {
    number(top);
    refSize_ = widthFor(objects_.size() - 1);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const auto& object : objects_) {
      offsets.push_back(out_.size());
      if (object.key != nullptr) {
        appendString(*object.key);
      } else {
        appendObject(*object.value, object.refs);
      }
    }

    const std::uint64_t tableOffset = out_.size();
    const std::size_t offsetSize = widthFor(tableOffset);
    for (const std::uint64_t offset : offsets) appendBigEndian(offset, offsetSize);
    out_.append(6, '\0');  // unused, and the sort version
    out_ += static_cast<char>(offsetSize);
    out_ += static_cast<char>(refSize_);
    appendBigEndian(objects_.size(), 8);
    appendBigEndian(0, 8);  // the top object
    appendBigEndian(tableOffset, 8);
    return std::move(out_);
  }

 private:
  struct Object {
    const PlistValue* value;
    const std::string* key;
    std::vector<std::uint64_t> refs;  // a container's: an array's elements; a dictionary's keys, then values
  };

  std::uint64_t number(const PlistValue& value) {
    const std::uint64_t id = objects_.size();
    objects_.push_back({&value, nullptr, {}});
    std::vector<std::uint64_t> refs;
    if (const auto* array = value.get<PlistArray>()) {
      for (const auto& element : *array) refs.push_back(number(element));
    } else if (const auto* dictionary = value.get<PlistDictionary>()) {
      for (const auto& entry : *dictionary) {
        refs.push_back(objects_.size());
        objects_.push_back({nullptr, &entry.first, {}});
      }
      for (const auto& entry : *dictionary) refs.push_back(number(entry.second));
    }
    objects_[id].refs = std::move(refs);
    return id;
  }

  static std::size_t widthFor(std::uint64_t largest) {
    if (largest <= 0xFF) return 1;
    if (largest <= 0xFFFF) return 2;
    if (largest <= 0xFFFFFFFF) return 4;
    return 8;
  }

  void appendBigEndian(std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out_ += static_cast<char>(value >> (8 * i) & 0xFF);
  }

  // Non-negative integers below 2^32 take the fewest of 1, 2 or 4 unsigned bytes; the rest
  // of the signed 64-bit range 8 bytes; 2^63 to 2^64-1, 16 bytes, as CoreFoundation writes
  // them (no reader yields an integer beyond those).
  void appendInteger(PlistInt128 value) {
    if (value >= 0 && value <= 0xFFFFFFFF) {
      const std::size_t width = widthFor(static_cast<std::uint64_t>(value));
      out_ += static_cast<char>(0x10 | std::countr_zero(width));
      appendBigEndian(static_cast<std::uint64_t>(value), width);
    } else if (value >= std::numeric_limits<std::int64_t>::min() && value <= std::numeric_limits<std::int64_t>::max()) {
      out_ += '\x13';
      appendBigEndian(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), 8);
    } else {
      out_ += '\x14';
      appendBigEndian(static_cast<std::uint64_t>(value >> 64), 8);
      appendBigEndian(static_cast<std::uint64_t>(value), 8);
    }
  }

  // A marker's low half holds a count below 15; larger counts follow as an integer.
  void appendMarker(std::uint8_t kind, std::size_t count) {
    if (count < 15) {
      out_ += static_cast<char>(kind << 4 | count);
      return;
    }
    out_ += static_cast<char>(kind << 4 | 0x0F);
    appendInteger(static_cast<PlistInt128>(count));
  }

  // ASCII text as bytes, any other as UTF-16 code units.
  void appendString(std::string_view text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<std::uint8_t>(c) < 0x80; })) {
      appendMarker(0x5, text.size());
      out_ += text;
      return;
    }
    std::vector<std::uint16_t> units;
    while (!text.empty()) {
      utf8proc_int32_t c = 0;
      const auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                           static_cast<utf8proc_ssize_t>(text.size()), &c);
      if (length <= 0) c = 0xFFFD;
      text.remove_prefix(length <= 0 ? 1 : static_cast<std::size_t>(length));
      if (c >= 0x10000) {
        units.push_back(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
        units.push_back(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      } else {
        units.push_back(static_cast<std::uint16_t>(c));
      }
    }
    appendMarker(0x6, units.size());
    for (const std::uint16_t unit : units) appendBigEndian(unit, 2);
  }

  void appendObject(const PlistValue& value, const std::vector<std::uint64_t>& refs) {
    if (const auto* b = value.get<bool>()) {
      out_ += *b ? '\x09' : '\x08';
    } else if (const auto* integer = value.get<PlistInteger>()) {
      appendInteger(integer->value);
    } else if (const auto* real = value.get<double>()) {
      out_ += '\x23';
      appendBigEndian(std::bit_cast<std::uint64_t>(*real), 8);
    } else if (const auto* date = value.get<PlistDate>()) {
      out_ += '\x33';
      appendBigEndian(std::bit_cast<std::uint64_t>(date->secondsSince2001), 8);
    } else if (const auto* data = value.get<PlistData>()) {
      appendMarker(0x4, data->size());
      out_.append(data->begin(), data->end());
    } else if (const auto* text = value.get<std::string>()) {
      appendString(*text);
    } else {
      const bool isArray = value.is<PlistArray>();
      appendMarker(isArray ? 0xA : 0xD, isArray ? refs.size() : refs.size() / 2);
      for (const std::uint64_t ref : refs) appendBigEndian(ref, refSize_);
    }
  }

  std::vector<Object> objects_;
  std::size_t refSize_ = 1;
  std::string out_ = "bplist00";
};

}  // namespace

std::string writeBinaryPropertyList(const PlistValue& value) { return BinaryWriter().write(value); }

#endif
