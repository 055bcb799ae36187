// Runs arbitrary bytes through everything the agent does with a snapshot file: the
// portable property-list reader, the snapshot reader and its lenient coercions, the
// restore decisions (also those by what a session recorded as applied) and the owner
// and session match. The writers' round trips ride along, since the preferences store
// writes back what the reader read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/arguments.h"
#include "fake_platform.h"
#include "platform/portable/plist_reader.h"
#include "platform/portable/plist_writer.h"
#include "restore/dock_settings.h"
#include "restore/sessions.h"
#include "snapshot/snapshot.h"
#include "values/unicode_text.h"

namespace {

// libFuzzer keeps the input of any abort as a finding.
void require(bool condition) {
  if (!condition) std::abort();
}

// What the preferences store writes back, the reader must read as it was: written again,
// the document is the same (documents, unlike values, compare NaN equal).
void checkWriterRoundTrip(const PlistValue& value) {
  const std::string binary = writeBinaryPropertyList(value);
  const auto fromBinary = readBinaryPropertyList(binary);
  require(fromBinary.has_value() && writeBinaryPropertyList(*fromBinary) == binary);
  const auto xml = writeXmlPropertyList(value);
  if (!xml) return;
  const auto fromXml = readXmlPropertyList(*xml);
  require(fromXml.has_value() && writeXmlPropertyList(*fromXml) == xml);
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
  // What the session recorded as applied, read against the Dock it just wrote.
  const auto stored = readStored(platform, path);
  require(stored.has_value());
  restoreChangedSettings(platform, record->settings, stored->applied);

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
  // A developer is told why exactly when a document does not read, and an XML error's
  // line is one the document has.
  require(describePropertyListFailure(bytes).empty() == parsed.has_value());
  XmlFailure failure;
  if (!readXmlPropertyList(bytes, &failure)) {
    // At most one line a LF or CR (a CR LF counts once, so this bound is loose).
    const auto breaks = std::count_if(bytes.begin(), bytes.end(), [](char c) { return c == '\n' || c == '\r'; });
    require(failure.line >= 1 && failure.line <= static_cast<std::size_t>(breaks) + 1);
  }
  checkSnapshot(bytes, parsed);
  if (parsed) checkWriterRoundTrip(*parsed);
  return 0;
}
