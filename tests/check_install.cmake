# Installs the build into a scratch prefix and checks what lands there: the agent in
# libexec, runnable from there, the manual page in section 8, and nothing else.
# Usage: cmake -DBUILD_DIR=... -DPREFIX=... -DSOURCE_DIR=... -P check_install.cmake
foreach(variable BUILD_DIR PREFIX SOURCE_DIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(expected "libexec/dock-restore-agent;share/man/man8/dock-restore-agent.8")
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed: ${installed}\nexpected:  ${expected}")
endif()

# Runnable where it was installed: with no arguments it answers 64 and says nothing.
execute_process(COMMAND "${PREFIX}/libexec/dock-restore-agent"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 64 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "installed agent without arguments: status ${status}, output '${out}${err}'")
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files
                "${SOURCE_DIR}/docs/dock-restore-agent.8"
                "${PREFIX}/share/man/man8/dock-restore-agent.8"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed manual page differs from docs/dock-restore-agent.8")
endif()
