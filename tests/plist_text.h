#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// An XML property-list document around `body`.
inline std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>\n";
}

// A snapshot document whose top-level dictionary holds `entries` (XML key/value pairs).
inline std::string snapshotPlist(const std::string& entries) {
  return xmlPlist("<dict>" + entries + "</dict>");
}

// The bytes of tests/fixtures/`name`. typical.bplist holds what typical.xml does, keys in
// the same order, as Python's plistlib writes it in binary form (sort_keys=False).
inline std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline std::string fixture(const std::string& name) {
  return fileBytes(std::string(DOCK_RESTORE_FIXTURES) + "/" + name);
}

inline std::string bigEndian(std::uint64_t value, int width) {
  std::string out;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out += static_cast<char>(value >> shift & 0xFF);
  return out;
}

// A binary property list of hand-encoded `objects`, the first one on top, with 2-byte
// offsets; references are object indexes.
inline std::string binaryPlist(const std::vector<std::string>& objects, int refSize = 1) {
  std::string file = "bplist00";
  std::string table;
  for (const auto& object : objects) {
    table += bigEndian(file.size(), 2);
    file += object;
  }
  const std::size_t tableOffset = file.size();
  return file + table + std::string(6, '\0') + "\x02" + static_cast<char>(refSize) + bigEndian(objects.size(), 8) +
         bigEndian(0, 8) + bigEndian(tableOffset, 8);
}
