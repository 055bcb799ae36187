# Installs the build into a scratch prefix and checks what lands there: the agent in
# libexec, runnable from there, the recovery command in bin and libexec with the login
# entries that start it, the manual pages in section 8, the inspection command,
# and the owner library with its header, pkg-config file, CMake package and module
# map, and nothing else. Installed for /usr/local, the autostart entry goes where
# sessions read it. Then builds the owner guide's C program outside the tree against
# the installed library, with the guide's command (pkg-config) and with its CMake lines
# (find_package), and, given PYTHON, runs both as printed in a scratch home
# (tests/e2e/guide_program.py).
# Usage: cmake -DBUILD_DIR=... -DPREFIX=... -DSOURCE_DIR=... -DLIBDIR=... -DCC=...
#              -DLIBRARY_FILES=... [-DLOGIN_ENTRIES=ON] [-DCONSUMER_FLAGS=...]
#              [-DCONSUMER_LINK_FLAGS=...] [-DPYTHON=...] -P check_install.cmake
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

# The commands people run answer --help: a usage line on standard output, status 0.
foreach(command dock-restore-recover dock-restore-inspect)
  execute_process(COMMAND "${PREFIX}/bin/${command}" --help
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR NOT out MATCHES "^usage: ${command} " OR NOT err STREQUAL "")
    message(FATAL_ERROR "${command} --help: status ${status}, output '${out}', errors '${err}'")
  endif()
endforeach()

# Installed for /usr/local (staged), the autostart entry lands in /etc/xdg, which
# sessions read, not in /usr/local/etc, which they do not.
set(staged "${PREFIX}-staged")
file(REMOVE_RECURSE "${staged}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${staged}"
                        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr/local
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
file(STRINGS "${staged}/etc/xdg/autostart/dock-restore-recover.desktop" line REGEX "^Exec=")
if(NOT line STREQUAL "Exec=/usr/local/bin/dock-restore-recover" OR EXISTS "${staged}/usr/local/etc")
  message(FATAL_ERROR "installed for /usr/local, the autostart entry is not /etc/xdg's: '${line}'")
endif()
file(REMOVE_RECURSE "${staged}")

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

set(work "${PREFIX}-consumer")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")

# The owner guide's C program, myapp.c, built against the installed prefix the two ways
# the guide shows: by its command (the sh block that follows it, its cc given the
# compiler and the sanitizers' flags), which finds the prefix through pkg-config as a
# reader's shell would, and by its CMake lines in a project of their own. The code holds
# semicolons, so the blocks are cut out with string(FIND) rather than as a CMake list.
file(READ "${SOURCE_DIR}/docs/owner-guide.md" guide)
foreach(block c sh cmake)
  string(FIND "${guide}" "```${block}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "the owner guide holds no ${block} block")
  endif()
  string(LENGTH "```${block}\n" skip)
  math(EXPR start "${start} + ${skip}")
  string(SUBSTRING "${guide}" ${start} -1 guide)
  string(FIND "${guide}" "```" end)
  string(SUBSTRING "${guide}" 0 ${end} ${block})
endforeach()
file(WRITE "${work}/myapp.c" "${c}")
string(STRIP "${sh}" command)
string(REGEX REPLACE "^cc " "\"$CC\" $CONSUMER_FLAGS -std=c99 -Wall -Werror " command "${command}")
string(APPEND command " ${CONSUMER_LINK_FLAGS}")
if(NOT command MATCHES "^\"[$]CC\" ")
  message(FATAL_ERROR "the owner guide's build command does not begin with cc:\n${sh}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${PREFIX}/${LIBDIR}/pkgconfig" "CC=${CC}"
                        "CONSUMER_FLAGS=${CONSUMER_FLAGS}" sh -ec "${command}"
                WORKING_DIRECTORY "${work}" RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the owner guide's C program does not build as the guide says:\n${err}")
endif()
file(WRITE "${work}/cmake/CMakeLists.txt" "cmake_minimum_required(VERSION 3.25)\nproject(myapp C)\n"
                                          "add_executable(myapp ../myapp.c)\n${cmake}")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${work}/cmake" -B "${work}/cmake/build" "-DCMAKE_PREFIX_PATH=${PREFIX}"
                        "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}"
                        "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_LINK_FLAGS}"
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(status EQUAL 0)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${work}/cmake/build"
                  RESULT_VARIABLE status OUTPUT_VARIABLE err ERROR_VARIABLE err)
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the owner guide's C program does not build with its CMake lines:\n${err}")
endif()
# Both run as printed, against the installed agent; in a PID namespace, for their
# killall Dock.
if(DEFINED PYTHON)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DOCK_RESTORE_GUIDE_PROGRAMS=${work}/myapp:${work}/cmake/build/myapp"
                          "DOCK_RESTORE_AGENT=${PREFIX}/libexec/dock-restore-agent"
                          sh "${SOURCE_DIR}/tests/e2e/run_isolated.sh" "${PYTHON}" -m unittest guide_program
                  WORKING_DIRECTORY "${SOURCE_DIR}/tests/e2e" RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the owner guide's C program, run as printed:\n${err}")
  endif()
endif()
