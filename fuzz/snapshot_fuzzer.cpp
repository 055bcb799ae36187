// Runs arbitrary bytes through everything the agent does with a snapshot file: the
// portable property-list reader, the snapshot reader and its lenient coercions, the
// restore decisions and the owner and session match. The XML writer's round trip
// rides along, since the preferences store writes back what the reader read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "agent/arguments.h"
#include "fake_platform.h"
#include "platform/portable/plist_reader.h"
#include "platform/portable/xml_plist_writer.h"
#include "restore/dock_settings.h"
#include "snapshot/snapshot.h"
#include "values/unicode_text.h"

namespace {

// libFuzzer keeps the input of any abort as a finding.
void require(bool condition) {
  if (!condition) std::abort();
}

// XML integers span -2^63 to 2^64-1; binary files hold wider ones, which the writer
// still writes but no XML reader takes back.
bool integersFitXml(const PlistValue& value) {
  if (const auto* integer = value.get<PlistInteger>()) {
    return integer->value >= std::numeric_limits<std::int64_t>::min() &&
           integer->value <= static_cast<PlistInt128>(std::numeric_limits<std::uint64_t>::max());
  }
  if (const auto* array = value.get<PlistArray>()) {
    for (const auto& element : *array) {
      if (!integersFitXml(element)) return false;
    }
  }
  if (const auto* dict = value.get<PlistDictionary>()) {
    for (const auto& [key, element] : *dict) {
      if (!integersFitXml(element)) return false;
    }
  }
  return true;
}

// The first write may replace what XML cannot carry (by U+FFFD, merging keys that then
// collide) and drop fractions of seconds from dates. What it gives back must then be
// a fixed point: written again and read again, the document stays the same. Comparing
// documents rather than values keeps NaN comparable.
void checkXmlRoundTrip(const PlistValue& value) {
  if (!integersFitXml(value)) return;
  const auto first = readXmlPropertyList(writeXmlPropertyList(value));
  require(first.has_value());
  const std::string document = writeXmlPropertyList(*first);
  const auto second = readXmlPropertyList(document);
  require(second.has_value() && writeXmlPropertyList(*second) == document);
}

void checkSnapshot(std::string_view bytes, const std::optional<PlistValue>& parsed) {
  const std::string path = "/snapshot.plist";
  FakePlatform platform;
  platform.files[path] = std::string(bytes);
  const auto record = readSnapshot(platform, path);

  const auto* top = parsed ? parsed->get<PlistDictionary>() : nullptr;
  const auto* settings = top != nullptr ? lookup(*top, "snapshot") : nullptr;
  require(record.has_value() == (settings != nullptr && settings->is<PlistDictionary>()));
  if (!record) return;

  for (const auto& [key, entry] : record->settings) preferenceFromEntry(&entry);
  restoreDockSettings(platform, record->settings);

  // The owner's own arguments match exactly when the snapshot is active. Sessions that
  // are canonically equivalent to a stored one, or not, take the Unicode path, which
  // must not depend on the order of its operands.
  AgentArguments arguments{path, record->ownerPID, record->sessionID, "com.example.owner"};
  require(snapshotMatches(record, arguments) == record->active);
  for (const std::string other : {"Caf\u00e9", "Cafe\u0301", "abc"}) {
    arguments.sessionID = other;
    snapshotMatches(record, arguments);
    require(canonicallyEqual(record->sessionID, other) == canonicallyEqual(other, record->sessionID));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto parsed = readPropertyList(bytes);
  checkSnapshot(bytes, parsed);
  if (parsed) checkXmlRoundTrip(*parsed);
  return 0;
}
