// Compiled to nothing unless the build asks for CoreFoundation's backend.
#if defined(DOCK_RESTORE_WITH_COREFOUNDATION)
#include "platform/corefoundation/cf_property_list.h"

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "values/unicode_text.h"

namespace {

static_assert(std::is_same_v<UniChar, std::uint16_t>, "UTF-16 units are handed over without conversion");

class Converter {
 public:
  explicit Converter(std::uint64_t budget) : budget_(budget) {}

  bool spend(std::uint64_t count, std::uint64_t cost) {
    if (count > budget_ / cost) return false;
    budget_ -= count * cost;
    return true;
  }

  // `depth` counts the containers that hold `object`.
  std::optional<PlistValue> convert(CFTypeRef object, int depth) {
    const CFTypeID type = CFGetTypeID(object);
    // Booleans first: they must never be read as the numbers 0 and 1.
    if (type == CFBooleanGetTypeID()) return PlistValue(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) != 0);
    if (type == CFNumberGetTypeID()) return number(static_cast<CFNumberRef>(object));
    if (type == CFStringGetTypeID()) {
      auto string = text(static_cast<CFStringRef>(object));
      if (!string) return std::nullopt;
      return PlistValue(std::move(*string));
    }
    if (type == CFDateGetTypeID()) return PlistValue(PlistDate{CFDateGetAbsoluteTime(static_cast<CFDateRef>(object))});
    if (type == CFDataGetTypeID()) return data(static_cast<CFDataRef>(object));
    if (type == CFArrayGetTypeID()) return array(static_cast<CFArrayRef>(object), depth);
    if (type == CFDictionaryGetTypeID()) return dictionary(static_cast<CFDictionaryRef>(object), depth);
    return std::nullopt;
  }

 private:
  // Whether `number` is below `bound`; CoreFoundation compares an integer with a double
  // exactly, whatever their sizes.
  static bool isBelow(CFNumberRef number, double bound) {
    const CFRef<CFNumberRef> boundNumber(CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &bound));
    return boundNumber && CFNumberCompare(number, boundNumber.get(), nullptr) == kCFCompareLessThan;
  }

  // Property lists hold integers from -2^63 up to 2^64-1. CFNumberGetValue converts an
  // integer to 64 bits as a C cast does, keeping the low 64 bits, and answers true even
  // when that loses the top: exact below 2^63, and from 2^63 up that number less 2^64.
  // The number's own comparisons tell the two apart; any other integer is refused
  // rather than guessed.
  static std::optional<PlistValue> number(CFNumberRef cfNumber) {
    if (CFNumberIsFloatType(cfNumber)) {
      double real = 0.0;
      CFNumberGetValue(cfNumber, kCFNumberDoubleType, &real);
      return real;
    }
    SInt64 low = 0;
    CFNumberGetValue(cfNumber, kCFNumberSInt64Type, &low);
    if (isBelow(cfNumber, -0x1p63)) return std::nullopt;
    if (isBelow(cfNumber, 0x1p63)) return PlistInteger{low};
    if (low < 0 && isBelow(cfNumber, 0x1p64)) return PlistInteger{static_cast<std::uint64_t>(low)};
    return std::nullopt;
  }

  std::optional<std::string> text(CFStringRef cfString) {
    const CFIndex length = CFStringGetLength(cfString);
    std::vector<UniChar> units(static_cast<std::size_t>(length));
    CFStringGetCharacters(cfString, CFRangeMake(0, length), units.data());
    std::string utf8 = utf8FromUtf16(units);
    if (!spend(utf8.size(), 1)) return std::nullopt;
    return utf8;
  }

  std::optional<PlistValue> data(CFDataRef cfData) {
    const CFIndex length = CFDataGetLength(cfData);
    if (!spend(static_cast<std::uint64_t>(length), 1)) return std::nullopt;
    const UInt8* bytes = CFDataGetBytePtr(cfData);
    return PlistValue(PlistData(bytes, bytes + length));
  }

  std::optional<PlistValue> array(CFArrayRef cfArray, int depth) {
    const CFIndex count = CFArrayGetCount(cfArray);
    if (depth >= maxPlistDepth || !spend(static_cast<std::uint64_t>(count), plistValueCost)) return std::nullopt;
    PlistArray result;
    result.reserve(static_cast<std::size_t>(count));
    for (CFIndex i = 0; i < count; ++i) {
      auto element = convert(CFArrayGetValueAtIndex(cfArray, i), depth + 1);
      if (!element) return std::nullopt;
      result.push_back(std::move(*element));
    }
    return PlistValue(std::move(result));
  }

  std::optional<PlistValue> dictionary(CFDictionaryRef cfDictionary, int depth) {
    const CFIndex count = CFDictionaryGetCount(cfDictionary);
    if (depth >= maxPlistDepth || !spend(2 * static_cast<std::uint64_t>(count), plistValueCost)) return std::nullopt;
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(static_cast<std::size_t>(count));
    CFDictionaryGetKeysAndValues(cfDictionary, keys.data(), values.data());
    PlistDictionary result;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      // A key that is not text has no place in a PlistDictionary: the whole value is
      // unusable, as the portable reader decides for such a document.
      if (CFGetTypeID(keys[i]) != CFStringGetTypeID()) return std::nullopt;
      auto key = text(static_cast<CFStringRef>(keys[i]));
      auto value = convert(values[i], depth + 1);
      if (!key || !value) return std::nullopt;
      result.insert_or_assign(std::move(*key), std::move(*value));
    }
    return PlistValue(std::move(result));
  }

  std::uint64_t budget_;
};

}  // namespace

CFRef<CFStringRef> cfStringFromUtf8(std::string_view utf8) {
  return CFRef<CFStringRef>(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                                    static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

std::optional<PlistValue> plistValueFromCF(CFTypeRef object, std::uint64_t budget) {
  Converter converter(budget);
  if (!converter.spend(1, plistValueCost)) return std::nullopt;
  return converter.convert(object, 0);
}

std::optional<PlistValue> readCFPropertyList(std::string_view bytes, std::string* failure) {
  const auto fail = [&](std::string why) {
    if (failure != nullptr) *failure = std::move(why);
    return std::nullopt;
  };
  const CFRef<CFDataRef> data(CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                                           static_cast<CFIndex>(bytes.size())));
  if (!data) return fail("out of memory");

  CFErrorRef parseError = nullptr;
  const CFRef<CFPropertyListRef> plist(
      CFPropertyListCreateWithData(kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, nullptr, &parseError));
  const CFRef<CFErrorRef> error(parseError);
  if (!plist) {
    if (failure == nullptr || !error) return fail("CoreFoundation reads no property list in it");
    // The parser's own words, with the line, are the error's debug description; its
    // description proper only says that the data is not in the right format.
    const CFRef<CFDictionaryRef> details(CFErrorCopyUserInfo(error.get()));
    const void* debug = details ? CFDictionaryGetValue(details.get(), CFSTR("NSDebugDescription")) : nullptr;
    const CFRef<CFStringRef> description(debug != nullptr && CFGetTypeID(debug) == CFStringGetTypeID()
                                             ? static_cast<CFStringRef>(CFRetain(debug))
                                             : CFErrorCopyDescription(error.get()));
    if (!description) return fail("CoreFoundation reads no property list in it");
    std::vector<UniChar> units(static_cast<std::size_t>(CFStringGetLength(description.get())));
    CFStringGetCharacters(description.get(), CFRangeMake(0, static_cast<CFIndex>(units.size())), units.data());
    return fail(utf8FromUtf16(units));
  }
  // A shared object is copied wherever it is referenced: the same allowance as the
  // portable reader's stops a fan-out of shared references.
  auto value = plistValueFromCF(plist.get(), plistBudget(bytes.size()));
  if (!value)
    return fail("its containers nest deeper than " + std::to_string(maxPlistDepth) +
                ", or its shared values add up to more than its size allows");
  return value;
}

CFRef<CFTypeRef> cfPropertyListFrom(const PlistValue& value) {
  return std::visit(
      [](const auto& v) -> CFRef<CFTypeRef> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return CFRef<CFTypeRef>(CFRetain(v ? kCFBooleanTrue : kCFBooleanFalse));
        } else if constexpr (std::is_same_v<T, PlistInteger>) {
          if (v.value < std::numeric_limits<std::int64_t>::min() ||
              v.value > std::numeric_limits<std::int64_t>::max()) {
            return CFRef<CFTypeRef>();
          }
          const auto integer = static_cast<std::int64_t>(v.value);
          return CFRef<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &integer));
        } else if constexpr (std::is_same_v<T, double>) {
          return CFRef<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return CFRef<CFTypeRef>(cfStringFromUtf8(v).release());
        } else if constexpr (std::is_same_v<T, PlistDate>) {
          return CFRef<CFTypeRef>(CFDateCreate(kCFAllocatorDefault, v.secondsSince2001));
        } else if constexpr (std::is_same_v<T, PlistData>) {
          return CFRef<CFTypeRef>(CFDataCreate(kCFAllocatorDefault, v.data(), static_cast<CFIndex>(v.size())));
        } else if constexpr (std::is_same_v<T, PlistArray>) {
          CFRef<CFMutableArrayRef> array(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
          if (!array) return CFRef<CFTypeRef>();
          for (const auto& element : v) {
            const auto object = cfPropertyListFrom(element);
            if (!object) return CFRef<CFTypeRef>();
            CFArrayAppendValue(array.get(), object.get());
          }
          return CFRef<CFTypeRef>(array.release());
        } else {
          CFRef<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
              kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
          if (!dictionary) return CFRef<CFTypeRef>();
          for (const auto& [key, element] : v) {
            const auto cfKey = cfStringFromUtf8(key);
            const auto object = cfPropertyListFrom(element);
            if (!cfKey || !object) return CFRef<CFTypeRef>();
            CFDictionarySetValue(dictionary.get(), cfKey.get(), object.get());
          }
          return CFRef<CFTypeRef>(dictionary.release());
        }
      },
      value.storage);
}

#endif
