# Installs the build into a scratch prefix and checks what lands there: the agent in
# libexec, runnable from there, the recovery command in bin and libexec with the login
# entries that start it, the manual pages in section 8, the inspection command,
# and the owner library with its header, pkg-config file, CMake package and module
# map, and nothing else. Then builds a C program outside the tree against the library,
# once with pkg-config and once with find_package (each telling it where the agent is),
# and runs both; and builds the owner guide's C.
# Usage: cmake -DBUILD_DIR=... -DPREFIX=... -DSOURCE_DIR=... -DLIBDIR=... -DCC=...
#              -DLIBRARY_FILES=... [-DLOGIN_ENTRIES=ON] [-DCONSUMER_FLAGS=...]
#              [-DCONSUMER_LINK_FLAGS=...] -P check_install.cmake
# LIBRARY_FILES: the owner library's file names, as this platform names them.
# LOGIN_ENTRIES: the XDG autostart entry and systemd user unit are installed (off macOS).
# CONSUMER_FLAGS and CONSUMER_LINK_FLAGS: what a consumer of a sanitized library must
# be compiled and linked with.
cmake_minimum_required(VERSION 3.25)
foreach(variable BUILD_DIR PREFIX SOURCE_DIR LIBDIR CC LIBRARY_FILES)
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
# One file of the exported targets per build type.
list(FILTER installed EXCLUDE REGEX "DockRestoreTargets-.*\\.cmake$")
list(SORT installed)
set(expected
  "bin/dock-restore-inspect"
  "bin/dock-restore-recover"
  "include/dock-restore/dock_restore.h"
  "include/dock-restore/module.modulemap"
  "${LIBDIR}/cmake/DockRestore/DockRestoreConfig.cmake"
  "${LIBDIR}/cmake/DockRestore/DockRestoreConfigVersion.cmake"
  "${LIBDIR}/cmake/DockRestore/DockRestoreTargets.cmake"
  "${LIBDIR}/pkgconfig/dock-restore.pc"
  "libexec/dock-restore-agent"
  "libexec/dock-restore-recover"
  "share/man/man8/dock-restore-agent.8"
  "share/man/man8/dock-restore-recover.8")
list(TRANSFORM LIBRARY_FILES PREPEND "${LIBDIR}/")
list(APPEND expected ${LIBRARY_FILES})
set(login_entries)  # file:key of each, where they are installed
if(LOGIN_ENTRIES)
  list(APPEND expected "etc/xdg/autostart/dock-restore-recover.desktop"
                       "lib/systemd/user/dock-restore-recover.service")
  set(login_entries "etc/xdg/autostart/dock-restore-recover.desktop:Exec"
                    "lib/systemd/user/dock-restore-recover.service:ExecStart")
endif()
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed: ${installed}\nexpected:  ${expected}")
endif()

# Runnable where it was installed: with no arguments it answers 64 and says nothing.
execute_process(COMMAND "${PREFIX}/libexec/dock-restore-agent"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 64 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "installed agent without arguments: status ${status}, output '${out}${err}'")
endif()

# Both copies of the recovery command run: with an unknown argument they answer 64, and
# with no registry (an empty HOME) 0, silent either way and creating nothing.
file(MAKE_DIRECTORY "${PREFIX}/empty-home")
foreach(folder bin libexec)
  foreach(case "64;--bogus" "0")
    list(POP_FRONT case want)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env "HOME=${PREFIX}/empty-home"
                            "${PREFIX}/${folder}/dock-restore-recover" ${case}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    file(GLOB made "${PREFIX}/empty-home/*" "${PREFIX}/empty-home/.*")
    if(NOT status EQUAL want OR NOT out STREQUAL "" OR NOT err STREQUAL "" OR made)
      message(FATAL_ERROR "installed ${folder}/dock-restore-recover ${case}: status ${status} (not ${want}), "
                          "output '${out}${err}', made '${made}'")
    endif()
  endforeach()
endforeach()
file(REMOVE_RECURSE "${PREFIX}/empty-home")

# The login entries start the command where this prefix installed it.
foreach(entry IN LISTS login_entries)
  string(REPLACE ":" ";" entry "${entry}")
  list(POP_FRONT entry file)
  file(STRINGS "${PREFIX}/${file}" line REGEX "^${entry}=")
  if(NOT line STREQUAL "${entry}=${PREFIX}/bin/dock-restore-recover")
    message(FATAL_ERROR "${file} starts '${line}', not ${PREFIX}/bin/dock-restore-recover")
  endif()
endforeach()

foreach(page dock-restore-agent dock-restore-recover)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files
                  "${SOURCE_DIR}/docs/${page}.8" "${PREFIX}/share/man/man8/${page}.8"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the installed manual page differs from docs/${page}.8")
  endif()
endforeach()

# A consumer outside the tree, built the two ways an application's build finds us.
separate_arguments(link_arguments UNIX_COMMAND "${CONSUMER_LINK_FLAGS}")
set(consumer "${SOURCE_DIR}/tests/install")
set(work "${PREFIX}-consumer")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
execute_process(COMMAND pkg-config --cflags --libs dock-restore
                RESULT_VARIABLE status OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pkg-config does not find dock-restore")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND pkg-config --variable=agent dock-restore
                OUTPUT_VARIABLE agent OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND "${CC}" ${CONSUMER_FLAGS} "${consumer}/consumer.c" ${flags} ${link_arguments}
                        "-DDOCK_RESTORE_AGENT_PATH=\"${agent}\""
                        "-Wl,-rpath,${PREFIX}/${LIBDIR}"
                        -o "${work}/with-pkg-config"
                RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building with pkg-config failed:\n${err}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${consumer}" -B "${work}/cmake" "-DCMAKE_PREFIX_PATH=${PREFIX}"
                        "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}"
                        "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_LINK_FLAGS}"
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${work}/cmake" COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
# The owner guide's C, as printed, builds the same way. (Its code holds semicolons, so
# the blocks are cut out one by one rather than as a CMake list.)
file(READ "${SOURCE_DIR}/docs/owner-guide.md" guide)
set(index 0)
while(TRUE)
  string(FIND "${guide}" "```c\n" start)
  if(start EQUAL -1)
    break()
  endif()
  math(EXPR start "${start} + 5")
  string(SUBSTRING "${guide}" ${start} -1 guide)
  string(FIND "${guide}" "```" end)
  string(SUBSTRING "${guide}" 0 ${end} code)
  math(EXPR index "${index} + 1")
  file(WRITE "${work}/guide-${index}.c" "${code}")
  execute_process(COMMAND "${CC}" -std=c99 -Wall -Werror ${CONSUMER_FLAGS} "${work}/guide-${index}.c" ${flags}
                          ${link_arguments} -o "${work}/guide-${index}"
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the owner guide's C block ${index} does not build:\n${err}")
  endif()
endwhile()
if(index EQUAL 0)
  message(FATAL_ERROR "the owner guide holds no C")
endif()

foreach(program "${work}/with-pkg-config" "${work}/cmake/consumer")
  execute_process(COMMAND "${program}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${program} against the installed library: status ${status}")
  endif()
endforeach()
