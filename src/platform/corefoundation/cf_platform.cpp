// Compiled to nothing unless the build asks for CoreFoundation's backend.
#if defined(DOCK_RESTORE_WITH_COREFOUNDATION)
#include <memory>
#include <variant>

#include <CoreFoundation/CoreFoundation.h>

#include "platform/corefoundation/cf_owner.h"
#include "platform/corefoundation/cf_property_list.h"
#include "platform/corefoundation/cf_ref.h"
#include "platform/native_values.h"
#include "platform/posix_platform.h"
#include "platform/user_paths.h"

namespace {

// Property lists and preferences through CoreFoundation, as on macOS.
class CoreFoundationPlatform final : public PosixPlatform {
 public:
  std::optional<PlistValue> parsePropertyList(std::string_view bytes) override { return readCFPropertyList(bytes); }
  std::string whyUnparsable(std::string_view bytes) override {
    std::string failure;
    readCFPropertyList(bytes, &failure);
    return failure;
  }

  void setPreference(const std::string& domain, const std::string& key,
                     const std::optional<PreferenceValue>& value) override {
    const auto cfDomain = cfStringFromUtf8(domain);
    const auto cfKey = cfStringFromUtf8(key);
    // A name that is not UTF-8 names no domain or key CoreFoundation could hold.
    if (!cfDomain || !cfKey) return;
    const auto storable = storablePreference(value);
    // A value that cannot be created deletes the key rather than leave a stale one.
    const CFRef<CFTypeRef> cfStored = storable ? cfPropertyListFrom(plistValueOf(*storable)) : CFRef<CFTypeRef>();
    CFPreferencesSetAppValue(cfKey.get(), cfStored.get(), cfDomain.get());
  }

  bool synchronizePreferences(const std::string& domain) override {
    const auto cfDomain = cfStringFromUtf8(domain);
    if (!cfDomain) return false;
    // Apple promises that the changes are written to permanent storage, not that they are
    // past the drive's cache; the caller may remove the only other record of these values
    // next. What the store has written by now is flushed here.
    return CFPreferencesAppSynchronize(cfDomain.get()) != 0 && flushStoredDomain(domain);
  }

  std::optional<PlistValue> readPreference(const std::string& domain, const std::string& key) override {
    return readCFPreference(domain, key);
  }
  std::optional<std::string> serializePropertyList(const PlistValue& value) override {
    return writeCFPropertyList(value);
  }

 private:
  std::string preferencesDirectory() override { return coreFoundationPreferencesDirectory(); }
};

}  // namespace

std::unique_ptr<Platform> makeSystemPlatform() { return std::make_unique<CoreFoundationPlatform>(); }

std::unique_ptr<OwnerPlatform> makeOwnerPlatform() { return std::make_unique<CoreFoundationPlatform>(); }

#endif
