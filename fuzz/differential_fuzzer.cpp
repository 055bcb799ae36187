// Runs the same bytes through the portable property-list reader and through
// CoreFoundation's (with the corefoundation backend's conversion), and keeps count of
// how often the two read differently among the inputs either of them accepts, apart
// from text whose XML declaration names an encoding the portable reader carries no
// tables for (docs/macos.md), which is counted on its own. The counts go to standard
// error every 2^16 inputs and at exit; with DIFFERENTIAL_FINDINGS naming a folder,
// each other input read differently is also kept there, named by its hash, for sorting
// into classes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "platform/corefoundation/cf_property_list.h"
#include "platform/portable/plist_reader.h"

namespace {

bool sameReal(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Equality of values, with NaN equal to NaN.
bool same(const PlistValue& a, const PlistValue& b) {
  if (a.storage.index() != b.storage.index()) return false;
  if (const auto* real = a.get<double>()) return sameReal(*real, *b.get<double>());
  if (const auto* date = a.get<PlistDate>()) return sameReal(date->secondsSince2001, b.get<PlistDate>()->secondsSince2001);
  if (const auto* array = a.get<PlistArray>()) {
    const auto& other = *b.get<PlistArray>();
    if (array->size() != other.size()) return false;
    for (std::size_t i = 0; i < array->size(); ++i) {
      if (!same((*array)[i], other[i])) return false;
    }
    return true;
  }
  if (const auto* dict = a.get<PlistDictionary>()) {
    const auto& other = *b.get<PlistDictionary>();
    if (dict->size() != other.size()) return false;
    for (auto i = dict->begin(), j = other.begin(); i != dict->end(); ++i, ++j) {
      if (i->first != j->first || !same(i->second, j->second)) return false;
    }
    return true;
  }
  return a == b;
}

struct Counts {
  std::uint64_t inputs = 0;
  std::uint64_t accepted = 0;
  std::uint64_t different = 0;
  std::uint64_t otherEncoding = 0;

  void print() const {
    const auto share = [&](std::uint64_t count) {
      return accepted == 0 ? 0.0 : 100.0 * static_cast<double>(count) / static_cast<double>(accepted);
    };
    std::fprintf(stderr,
                 "differential: %llu inputs, %llu accepted by either reader, %llu read differently (%.4f%%), "
                 "%llu more in another declared encoding (%.4f%%)\n",
                 static_cast<unsigned long long>(inputs), static_cast<unsigned long long>(accepted),
                 static_cast<unsigned long long>(different), share(different),
                 static_cast<unsigned long long>(otherEncoding), share(otherEncoding));
  }
  ~Counts() { print(); }
};

Counts counts;

void keep(std::string_view bytes) {
  const char* folder = std::getenv("DIFFERENTIAL_FINDINGS");
  if (folder == nullptr) return;
  char name[32];
  std::snprintf(name, sizeof name, "/%016zx", std::hash<std::string_view>{}(bytes));
  std::ofstream(std::string(folder) + name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto portable = readPropertyList(bytes);
  const auto native = readCFPropertyList(bytes);
  ++counts.inputs;
  if (portable || native) {
    ++counts.accepted;
    if (!portable && native && bytes.starts_with("<?xml") && !isTextInUtf8(bytes)) {
      ++counts.otherEncoding;
    } else if (!portable || !native || !same(*portable, *native)) {
      ++counts.different;
      keep(bytes);
    }
  }
  if (counts.inputs % (1u << 16) == 0) counts.print();
  return 0;
}
