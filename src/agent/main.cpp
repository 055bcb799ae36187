#include <span>

#include "agent/run.h"
#include "platform/owner_platform.h"

int main(int argc, char** argv) {
  std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  if (!arguments.empty()) arguments = arguments.subspan(1);  // the program's own path
  return runAgent(arguments, makeOwnerPlatform);
}
