#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Property lists hold integers from -2^63 up to 2^64-1. A 128-bit integer keeps every
// one exact, so a huge positive integer can never be mistaken for a negative one.
__extension__ typedef __int128 PlistInt128;

struct PlistInteger {
  PlistInt128 value = 0;
  friend bool operator==(const PlistInteger&, const PlistInteger&) = default;
};

// Seconds since 2001-01-01T00:00:00Z, the reference date of property lists.
struct PlistDate {
  double secondsSince2001 = 0.0;
  friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue, std::less<>>;
using PlistData = std::vector<std::uint8_t>;

// One property-list value. Strings are UTF-8 as the parser delivered them.
struct PlistValue {
  using Storage =
      std::variant<bool, PlistInteger, double, std::string, PlistDate, PlistData, PlistArray, PlistDictionary>;
  Storage storage;

  PlistValue() = default;
  // Implicit, as the alternatives convert. Never a copy or move: the constraint leaves
  // those to the special members.
  template <typename T>
  requires std::is_constructible_v<Storage, T&&>
  // NOLINTNEXTLINE(google-explicit-constructor,bugprone-forwarding-reference-overload)
  PlistValue(T&& v) : storage(std::forward<T>(v)) {}

  template <typename T>
  const T* get() const {
    return std::get_if<T>(&storage);
  }
  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(storage);
  }

  friend bool operator==(const PlistValue&, const PlistValue&) = default;
};

// The value stored under `key`, or nullptr when the key is absent.
inline const PlistValue* lookup(const PlistDictionary& dict, std::string_view key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : &it->second;
}
