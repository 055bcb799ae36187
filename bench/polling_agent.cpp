// The agent as it would be without its wake-ups: every wait lasts its full time, so
// the owner's death is noticed at the next pass. For measuring recovery latency
// against the real agent only; it is built with the benchmarks and never installed.

#include <memory>
#include <span>

#include "agent/run.h"
#include "platform/owner_platform.h"

namespace {

// Forwards everything to the system platform except taking the watch.
class PollingPlatform final : public OwnerPlatform {
 public:
  explicit PollingPlatform(std::unique_ptr<OwnerPlatform> inner) : inner_(std::move(inner)) {}

  std::optional<std::string> readFile(const std::string& path) override {
    return inner_->readFile(path);
  }
  std::optional<PlistValue> parsePropertyList(std::string_view bytes) override {
    return inner_->parsePropertyList(bytes);
  }
  std::string whyUnreadable(const std::string& path) override { return inner_->whyUnreadable(path); }
  std::string whyUnparsable(std::string_view bytes) override { return inner_->whyUnparsable(bytes); }
  void setPreference(const std::string& domain, const std::string& key,
                     const std::optional<PreferenceValue>& value) override {
    inner_->setPreference(domain, key, value);
  }
  bool synchronizePreferences(const std::string& domain) override {
    return inner_->synchronizePreferences(domain);
  }
  ProcessState probeProcess(int pid) override { return inner_->probeProcess(pid); }
  void startWatch(int, const std::string&) override {}
  Wake waitForChange(double fallbackSeconds, double limitSeconds) override {
    return inner_->waitForChange(fallbackSeconds, limitSeconds);
  }
  void detachFromTerminal() override { inner_->detachFromTerminal(); }
  bool launch(const std::string& executable, const std::vector<std::string>& arguments) override {
    return inner_->launch(executable, arguments);
  }
  bool removeFile(const std::string& path) override { return inner_->removeFile(path); }
  std::string currentDirectory() override { return inner_->currentDirectory(); }

  // The registry and process identities, which the agent consults before it recovers.
  std::optional<PlistValue> readPreference(const std::string& domain, const std::string& key) override {
    return inner_->readPreference(domain, key);
  }
  std::optional<std::string> serializePropertyList(const PlistValue& value) override {
    return inner_->serializePropertyList(value);
  }
  int writeFileAtomically(const std::string& path, const std::string& bytes) override {
    return inner_->writeFileAtomically(path, bytes);
  }
  bool isExecutableFile(const std::string& path) override { return inner_->isExecutableFile(path); }
  int startDetached(const std::string& executable, const std::vector<std::string>& arguments) override {
    return inner_->startDetached(executable, arguments);
  }
  std::optional<std::int64_t> processStartTime(int pid) override { return inner_->processStartTime(pid); }
  std::optional<std::string> executablePath(int pid) override { return inner_->executablePath(pid); }
  bool domainReadable(const std::string& domain) override { return inner_->domainReadable(domain); }
  bool lockSessionRegistry() override { return inner_->lockSessionRegistry(); }
  RegistryAccess lockExistingSessionRegistry(double limitSeconds) override {
    return inner_->lockExistingSessionRegistry(limitSeconds);
  }
  void unlockSessionRegistry() override { inner_->unlockSessionRegistry(); }
  std::vector<std::string> registeredSnapshots() override { return inner_->registeredSnapshots(); }
  bool registerSnapshot(const std::string& path) override { return inner_->registerSnapshot(path); }
  void unregisterSnapshot(const std::string& path) override { inner_->unregisterSnapshot(path); }
  int processId() override { return inner_->processId(); }
  bool randomBytes(std::span<std::uint8_t> bytes) override { return inner_->randomBytes(bytes); }

 private:
  std::unique_ptr<OwnerPlatform> inner_;
};

}  // namespace

int main(int argc, char** argv) {
  std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  if (!arguments.empty()) arguments = arguments.subspan(1);  // the program's own path
  PollingPlatform platform(makeOwnerPlatform());
  return runAgent(arguments, platform);
}
