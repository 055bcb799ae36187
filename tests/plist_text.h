#pragma once

#include <fstream>
#include <iterator>
#include <string>

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
inline std::string fixture(const std::string& name) {
  std::ifstream in(std::string(DOCK_RESTORE_FIXTURES) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
