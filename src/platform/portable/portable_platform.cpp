// Compiled to nothing on Apple systems, where CoreFoundation serves and utf8proc is not on the
// path, unless the build asks for the portable backend (CMake does, for the tests).
#if !defined(__APPLE__) || defined(DOCK_RESTORE_WITH_PORTABLE)
#include "platform/native_values.h"
#include "platform/portable/plist_reader.h"
#include "platform/portable/plist_writer.h"
#include "platform/portable/preferences_store.h"
#include "platform/posix_platform.h"

namespace {

// Property lists through our own reader, preferences as files in the user's
// configuration folder.
class PortablePlatform final : public PosixPlatform {
 public:
  std::optional<PlistValue> parsePropertyList(std::string_view bytes) override { return readPropertyList(bytes); }
  std::string whyUnparsable(std::string_view bytes) override { return describePropertyListFailure(bytes); }
  void setPreference(const std::string& domain, const std::string& key,
                     const std::optional<PreferenceValue>& value) override {
    // Text that is not UTF-8 deletes the key, as it must with CoreFoundation.
    store_.set(domain, key, storablePreference(value));
  }
  bool synchronizePreferences(const std::string& domain) override { return store_.synchronize(domain); }

  std::optional<PlistValue> readPreference(const std::string& domain, const std::string& key) override {
    return store_.value(domain, key);
  }
  std::optional<std::string> serializePropertyList(const PlistValue& value) override {
    // XML where it can hold the value exactly, so a developer can read the file.
    if (auto xml = writeXmlPropertyList(value)) return xml;
    return writeBinaryPropertyList(value);
  }

 private:
  std::string preferencesDirectory() override { return store_.directory(); }

  PreferencesStore store_{PreferencesStore::defaultDirectory()};
};

}  // namespace

std::unique_ptr<Platform> makeSystemPlatform() { return std::make_unique<PortablePlatform>(); }

std::unique_ptr<OwnerPlatform> makeOwnerPlatform() { return std::make_unique<PortablePlatform>(); }

#endif
