// Canonical equivalence and lower-casing with utf8proc, for the portable build.

// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include <algorithm>
#include <cstdlib>
#include <memory>

#include <utf8proc.h>

#include "values/unicode_text.h"

namespace {

bool isAscii(std::string_view text) {
  return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

// The canonical decomposition (NFD) of `text`, or nothing when it is not valid UTF-8.
std::optional<std::string> decomposed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                   &out, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(out);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  // ASCII has no combining marks: different ASCII texts are never equivalent.
  if (isAscii(a) && isAscii(b)) return false;
  const auto da = decomposed(a);
  const auto db = decomposed(b);
  if (!da || !db) return false;  // bytes already compared unequal above
  return *da == *db;
}

std::optional<std::string> lowercased(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto remaining = static_cast<utf8proc_ssize_t>(text.size());
  while (remaining > 0) {
    utf8proc_int32_t codepoint = 0;
    const auto used = utf8proc_iterate(bytes, remaining, &codepoint);
    if (used <= 0) return std::nullopt;
    bytes += used;
    remaining -= used;

    // The one character whose full lower-case mapping is longer than its simple one:
    // capital I with dot above becomes i followed by a combining dot above.
    if (codepoint == 0x0130) {
      result += "i\xCC\x87";
      continue;
    }
    utf8proc_uint8_t encoded[4];
    const auto size = utf8proc_encode_char(utf8proc_tolower(codepoint), encoded);
    result.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(size));
  }
  return result;
}

#endif
