// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/portable/plist_reader.h"
#include "values/unicode_text.h"

namespace {

// "bplist0" and a version character, which CoreFoundation reads whatever it is.
constexpr std::string_view magic = "bplist0";
constexpr std::uint64_t headerSize = 8;
constexpr std::uint64_t trailerSize = 32;

// The big-endian unsigned integer of `width` bytes at `offset`, or its low 64 bits when
// it is wider, as CoreFoundation reads it; the caller has checked that the bytes lie
// inside `bytes`.
std::uint64_t bigEndian(std::string_view bytes, std::uint64_t offset, std::uint64_t width) {
  std::uint64_t value = 0;
  for (std::uint64_t i = 0; i < width; ++i) {
    value = value << 8 | static_cast<std::uint8_t>(bytes[static_cast<std::size_t>(offset + i)]);
  }
  return value;
}

struct Trailer {
  std::uint64_t offsetIntSize;
  std::uint64_t objectRefSize;
  std::uint64_t numObjects;
  std::uint64_t topObject;
  std::uint64_t offsetTableOffset;
};

// Whether a `size`-byte unsigned integer can hold `value`.
bool fitsIn(std::uint64_t size, std::uint64_t value) { return size >= 8 || value < std::uint64_t{1} << (8 * size); }

// The trailer, checked as CoreFoundation checks it: at least one object byte between
// the header and the offset table, which fills the space up to the trailer exactly,
// references and offsets wide enough to reach every object, and every offset before
// the table.
std::optional<Trailer> readTrailer(std::string_view bytes) {
  if (bytes.size() < headerSize + 1 + trailerSize || !bytes.starts_with(magic)) return std::nullopt;
  const std::uint64_t at = bytes.size() - trailerSize;
  const Trailer trailer{bigEndian(bytes, at + 6, 1), bigEndian(bytes, at + 7, 1), bigEndian(bytes, at + 8, 8),
                        bigEndian(bytes, at + 16, 8), bigEndian(bytes, at + 24, 8)};
  const bool valid = trailer.offsetIntSize >= 1 && trailer.objectRefSize >= 1 && trailer.numObjects >= 1 &&
                     trailer.topObject < trailer.numObjects && trailer.offsetTableOffset > headerSize &&
                     trailer.offsetTableOffset < at &&
                     trailer.numObjects == (at - trailer.offsetTableOffset) / trailer.offsetIntSize &&
                     (at - trailer.offsetTableOffset) % trailer.offsetIntSize == 0 &&
                     fitsIn(trailer.objectRefSize, trailer.numObjects) &&
                     fitsIn(trailer.offsetIntSize, trailer.offsetTableOffset);
  if (!valid) return std::nullopt;
  for (std::uint64_t i = 0; i < trailer.numObjects; ++i) {
    if (bigEndian(bytes, trailer.offsetTableOffset + i * trailer.offsetIntSize, trailer.offsetIntSize) >=
        trailer.offsetTableOffset) {
      return std::nullopt;
    }
  }
  return trailer;
}

class BinaryReader {
 public:
  BinaryReader(std::string_view bytes, const Trailer& trailer)
      : bytes_(bytes),
        trailer_(trailer),
        objectsEnd_(trailer.offsetTableOffset),
        onPath_(static_cast<std::size_t>(trailer.numObjects)),
        budget_(plistBudget(bytes.size())) {}

  std::optional<PlistValue> readTop() {
    if (!spend(1, plistValueCost)) return std::nullopt;
    return readObject(trailer_.topObject, 0);
  }

 private:
  // `depth` counts the containers that hold the object.
  std::optional<PlistValue> readObject(std::uint64_t ref, int depth) {
    const auto offset = objectOffset(ref);
    if (!offset) return std::nullopt;
    std::uint64_t at = *offset + 1;
    const auto marker = static_cast<std::uint8_t>(bytes_[static_cast<std::size_t>(*offset)]);
    const unsigned low = marker & 0x0F;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || (marker == 0x00 && discarding_ > 0)) return PlistValue(false);
        if (marker == 0x09) return PlistValue(true);
        return std::nullopt;
      case 0x1: return readInteger(low, at);
      case 0x2:
        if (low == 2 && contains(at, 4)) {
          return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bigEndian(bytes_, at, 4))));
        }
        if (low == 3 && contains(at, 8)) return std::bit_cast<double>(bigEndian(bytes_, at, 8));
        return std::nullopt;
      case 0x3:
        if (marker != 0x33 || !contains(at, 8)) return std::nullopt;
        return PlistDate{std::bit_cast<double>(bigEndian(bytes_, at, 8))};
      case 0x4: {
        const auto count = readCount(marker, at);
        if (!count || !contains(at, *count) || !spend(*count, 1)) return std::nullopt;
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes_.data()) + at;
        return PlistData(data, data + *count);
      }
      case 0x5:
      case 0x6: return readString(marker, at);
      case 0x8:
        // A keyed archive's UID, up to 2^32-1, which only a dropped value may be.
        if (discarding_ == 0 || !contains(at, low + 1u) || bigEndian(bytes_, at, low + 1u) > UINT32_MAX) {
          return std::nullopt;
        }
        return PlistValue(false);
      case 0xC:
        if (discarding_ == 0) return std::nullopt;
        return readArray(ref, marker, at, depth);
      case 0xA: return readArray(ref, marker, at, depth);
      case 0xD: return readDictionary(ref, marker, at, depth);
      default: return std::nullopt;
    }
  }

  // Where object `ref` starts; every object lies between the header and the offset table.
  std::optional<std::uint64_t> objectOffset(std::uint64_t ref) const {
    if (ref >= trailer_.numObjects) return std::nullopt;
    const std::uint64_t offset =
        bigEndian(bytes_, trailer_.offsetTableOffset + ref * trailer_.offsetIntSize, trailer_.offsetIntSize);
    if (offset < headerSize || offset >= objectsEnd_) return std::nullopt;
    return offset;
  }

  bool contains(std::uint64_t at, std::uint64_t length) const {
    return at <= objectsEnd_ && length <= objectsEnd_ - at;
  }

  bool spend(std::uint64_t count, std::uint64_t cost) {
    if (count > budget_ / cost) return false;
    budget_ -= count * cost;
    return true;
  }

  // Counts of 15 and more are stored in the integer object that follows the marker, of
  // any width. CoreFoundation reads the value from the width's low byte's worth of
  // bytes (none from 256 bytes up), and refuses counts past 2^63-1.
  std::optional<std::uint64_t> readCount(std::uint8_t marker, std::uint64_t& at) const {
    if ((marker & 0x0F) != 0x0F) return marker & 0x0Fu;
    if (!contains(at, 1)) return std::nullopt;
    const auto intMarker = static_cast<std::uint8_t>(bytes_[static_cast<std::size_t>(at)]);
    if ((intMarker & 0xF0) != 0x10) return std::nullopt;
    const std::uint64_t width = std::uint64_t{1} << (intMarker & 0x0F);
    if (!contains(at + 1, width)) return std::nullopt;
    const std::uint64_t count = bigEndian(bytes_, at + 1, width & 0xFF);
    if (count > std::uint64_t{INT64_MAX}) return std::nullopt;
    at += 1 + width;
    return count;
  }

  // 1, 2 and 4 bytes are unsigned, 8 bytes signed. Of 16 bytes only the low 8 count, as
  // an unsigned number: CoreFoundation writes 16 bytes only for 2^63 to 2^64-1 and reads
  // every such integer this way, so a file reads the same here as on a Mac.
  std::optional<PlistValue> readInteger(unsigned sizeExponent, std::uint64_t at) const {
    if (sizeExponent > 4) return std::nullopt;
    const std::uint64_t width = std::uint64_t{1} << sizeExponent;
    if (!contains(at, width)) return std::nullopt;
    if (width == 16) return PlistInteger{bigEndian(bytes_, at + 8, 8)};
    const std::uint64_t raw = bigEndian(bytes_, at, width);
    if (width == 8) return PlistInteger{static_cast<std::int64_t>(raw)};
    return PlistInteger{raw};
  }

  std::optional<std::string> readString(std::uint8_t marker, std::uint64_t at) {
    const auto count = readCount(marker, at);
    if (!count) return std::nullopt;
    if (marker >> 4 == 0x5) {
      if (!contains(at, *count) || !spend(*count, 1)) return std::nullopt;
      const std::string_view text = bytes_.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(*count));
      // CoreFoundation reads the bytes above 0x7F as U+0080 to U+00FF, as Latin-1 does.
      std::string utf8;
      for (const char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte < 0x80) {
          utf8 += c;
        } else {
          utf8 += static_cast<char>(0xC0 | byte >> 6);
          utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
      }
      if (!spend(utf8.size() - text.size(), 1)) return std::nullopt;
      return utf8;
    }
    // CoreFoundation refuses an empty UTF-16 string (its buffer of no bytes is no buffer);
    // writers store an empty string as ASCII.
    if (*count == 0 || *count > (objectsEnd_ - at) / 2) return std::nullopt;
    std::vector<std::uint16_t> units(static_cast<std::size_t>(*count));
    for (std::size_t i = 0; i < units.size(); ++i) {
      units[i] = static_cast<std::uint16_t>(bigEndian(bytes_, at + 2 * i, 2));
    }
    std::string text = utf8FromUtf16(units);
    if (!spend(text.size(), 1)) return std::nullopt;
    return text;
  }

  // Dictionary keys must be strings.
  std::optional<std::string> readKey(std::uint64_t ref) {
    const auto offset = objectOffset(ref);
    if (!offset) return std::nullopt;
    const auto marker = static_cast<std::uint8_t>(bytes_[static_cast<std::size_t>(*offset)]);
    if (marker >> 4 != 0x5 && marker >> 4 != 0x6) return std::nullopt;
    return readString(marker, *offset + 1);
  }

  // A key inside a value that is dropped: any object but a container, as CoreFoundation
  // reads it.
  std::optional<std::string> discardedKey(std::uint64_t ref, int depth) {
    const auto offset = objectOffset(ref);
    if (!offset) return std::nullopt;
    const unsigned type = static_cast<std::uint8_t>(bytes_[static_cast<std::size_t>(*offset)]) >> 4;
    if (type == 0xA || type == 0xC || type == 0xD || !readObject(ref, depth + 1)) return std::nullopt;
    return std::string();
  }

  std::uint64_t refAt(std::uint64_t at, std::uint64_t index) const {
    return bigEndian(bytes_, at + index * trailer_.objectRefSize, trailer_.objectRefSize);
  }

  // Marks a container as being read for as long as it is, so that a container
  // holding itself, directly or not, is caught.
  class PathEntry {
   public:
    PathEntry(std::vector<bool>& onPath, std::uint64_t ref)
        : marks_(onPath), ref_(static_cast<std::size_t>(ref)), cycle_(marks_[ref_]) {
      marks_[ref_] = true;
    }
    ~PathEntry() {
      if (!cycle_) marks_[ref_] = false;
    }
    PathEntry(const PathEntry&) = delete;
    PathEntry& operator=(const PathEntry&) = delete;
    bool isCycle() const { return cycle_; }

   private:
    std::vector<bool>& marks_;
    std::size_t ref_;
    bool cycle_;
  };

  std::optional<PlistValue> readArray(std::uint64_t ref, std::uint8_t marker, std::uint64_t at, int depth) {
    const auto count = readCount(marker, at);
    if (!count || *count > (objectsEnd_ - at) / trailer_.objectRefSize) return std::nullopt;
    const PathEntry entry(onPath_, ref);
    if (entry.isCycle() || depth >= maxPlistDepth || !spend(*count, plistValueCost)) return std::nullopt;
    PlistArray array;
    array.reserve(static_cast<std::size_t>(*count));
    for (std::uint64_t i = 0; i < *count; ++i) {
      auto element = readObject(refAt(at, i), depth + 1);
      if (!element) return std::nullopt;
      array.push_back(std::move(*element));
    }
    return array;
  }

  std::optional<PlistValue> readDictionary(std::uint64_t ref, std::uint8_t marker, std::uint64_t at, int depth) {
    const auto count = readCount(marker, at);
    if (!count || *count > (objectsEnd_ - at) / trailer_.objectRefSize / 2) return std::nullopt;
    const PathEntry entry(onPath_, ref);
    if (entry.isCycle() || depth >= maxPlistDepth || !spend(*count * 2, plistValueCost)) return std::nullopt;
    const std::uint64_t valuesAt = at + *count * trailer_.objectRefSize;
    PlistDictionary dict;
    for (std::uint64_t i = 0; i < *count; ++i) {
      auto key = discarding_ > 0 ? discardedKey(refAt(at, i), depth) : readKey(refAt(at, i));
      if (!key) return std::nullopt;
      // A repeated key keeps its first value, as in CoreFoundation, which still reads the
      // later ones, and drops them with whatever they hold that is no property-list
      // value (a null, a UID, a set).
      const bool repeated = dict.contains(*key);
      discarding_ += repeated ? 1 : 0;
      auto value = readObject(refAt(valuesAt, i), depth + 1);
      discarding_ -= repeated ? 1 : 0;
      if (!value) return std::nullopt;
      dict.try_emplace(std::move(*key), std::move(*value));
    }
    return dict;
  }

  std::string_view bytes_;
  Trailer trailer_;
  std::uint64_t objectsEnd_;
  std::vector<bool> onPath_;
  std::uint64_t budget_;
  int discarding_ = 0;  // how many repeated keys' values hold the object being read
};

}  // namespace

std::optional<PlistValue> readBinaryPropertyList(std::string_view bytes) {
  const auto trailer = readTrailer(bytes);
  if (!trailer) return std::nullopt;
  return BinaryReader(bytes, *trailer).readTop();
}

#endif
