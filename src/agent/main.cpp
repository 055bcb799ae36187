#include <span>

#include "agent/arguments.h"
#include "agent/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  if (!arguments.empty()) arguments = arguments.subspan(1);  // the program's own path
  // Before the platform exists: building it may already consult the user database.
  if (arguments.size() < minimumArguments) return exitUsage;
  const auto platform = makeSystemPlatform();
  return runAgent(arguments, *platform);
}
