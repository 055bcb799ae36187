# find_package(DockRestore): the imported target DockRestore::dockrestore, with the
# header dock_restore.h on its include path, and the imported executable
# DockRestore::dock-restore-agent, the agent to ship beside the application.
include("${CMAKE_CURRENT_LIST_DIR}/DockRestoreTargets.cmake")
