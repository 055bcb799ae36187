// The agent's waiting without its passes: the same pauses on the same exit handle,
// until the owner exits. Beside the agent it separates what the passes cost from what
// waking up twice a second costs on the machine.
//
// Usage: pauses_only OWNER_PID

#include <cstdlib>

#include "agent/watch.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  const auto platform = makeSystemPlatform();
  platform->watchForExit(std::atoi(argv[1]));
  while (!platform->sleepFor(pollInterval)) {
  }
  return 0;
}
