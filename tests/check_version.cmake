# The version lives in CMakeLists.txt's project(); the changelog's newest entry and the
# owner guide's dependency line must name the same one.
# Usage: cmake -DVERSION=... -DSOURCE_DIR=... -P check_version.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS "${SOURCE_DIR}/CHANGELOG.md" entries REGEX "^## \\[[0-9]")
list(GET entries 0 newest)
string(REGEX REPLACE "^## \\[([^]]*)\\].*" "\\1" newest "${newest}")
file(STRINGS "${SOURCE_DIR}/docs/owner-guide.md" dependency REGEX "\\.package\\(url: .*from: \"")
string(REGEX REPLACE ".*from: \"([^\"]*)\".*" "\\1" dependency "${dependency}")
if(NOT newest STREQUAL VERSION OR NOT dependency STREQUAL VERSION)
  message(FATAL_ERROR "version ${VERSION} in CMakeLists.txt, ${newest} in CHANGELOG.md, "
                      "${dependency} in the owner guide's dependency line")
endif()
