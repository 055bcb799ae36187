# find_package(DockRestore): the imported target DockRestore::dockrestore, with the
# header dock_restore.h on its include path.
include("${CMAKE_CURRENT_LIST_DIR}/DockRestoreTargets.cmake")
