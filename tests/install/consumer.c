/* Built outside the tree against an installed libdockrestore: the header, the library
 * and their use without an agent at hand, and the agent where the build was told it is
 * (DOCK_RESTORE_AGENT_PATH, from pkg-config or the CMake package). */
#include <stddef.h>
#include <unistd.h>

#include <dock_restore.h>

int main(void) {
  if (access(DOCK_RESTORE_AGENT_PATH, X_OK) != 0) return 2;
  dock_restore_owner* owner =
      dock_restore_open("/nonexistent/snapshot.plist", "com.example.consumer", "/nonexistent/agent");
  if (owner == NULL) return 1;
  const int refused = dock_restore_set_bool(owner, "tilesize", 1) == DOCK_RESTORE_INVALID_ARGUMENT &&
                      dock_restore_begin(owner) == DOCK_RESTORE_AGENT_UNAVAILABLE &&
                      dock_restore_message(owner)[0] != '\0' && !dock_restore_is_protected(owner);
  dock_restore_close(owner);
  return refused ? 0 : 1;
}
