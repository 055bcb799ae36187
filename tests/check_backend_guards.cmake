# What a build that does not ask for a backend makes of its sources, as Xcode may compile
# every target of the package: each portable source, compiled as Apple code, and each
# CoreFoundation source, compiled without the definition that asks for it, preprocesses
# to nothing, while utf8proc's and CoreFoundation's headers stop the compiler if reached.
# And each portable source, under the definitions this build gives it, still compiles as
# Apple code: a Mac's build with tests needs the portable backend.
# Usage: cmake -DCXX=... -DSOURCE_DIR=... -DWORK_DIR=... -DPORTABLE_DEFINITIONS=...
#              [-DPORTABLE_FLAGS=...] -P check_backend_guards.cmake
# PORTABLE_FLAGS: what else the portable sources are compiled with (utf8proc's folder,
# the SDK).
cmake_minimum_required(VERSION 3.25)
foreach(variable CXX SOURCE_DIR WORK_DIR PORTABLE_DEFINITIONS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(unreachable "${WORK_DIR}/unreachable")
file(WRITE "${unreachable}/utf8proc.h" "#error utf8proc.h is not on a Mac's path\n")
file(WRITE "${unreachable}/CoreFoundation/CoreFoundation.h" "#error CoreFoundation's headers were not asked for\n")
set(apple -D__APPLE__ -U__linux__ -U__gnu_linux__ -Ulinux)
set(asked)
foreach(definition IN LISTS PORTABLE_DEFINITIONS)
  list(APPEND asked -D${definition})
endforeach()

# Runs the preprocessor on `source` with the flags that follow; sets `output` and `status`.
function(preprocess source)
  execute_process(COMMAND "${CXX}" -std=c++20 -E -P ${ARGN} -I${SOURCE_DIR}/src -I${SOURCE_DIR}/include "${source}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  set(output "${text}" PARENT_SCOPE)
  set(status "${result}" PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
endfunction()

file(GLOB portable_sources "${SOURCE_DIR}/src/platform/portable/*.cpp")
file(GLOB corefoundation_sources "${SOURCE_DIR}/src/platform/corefoundation/*.cpp")
set(failures)
foreach(source IN LISTS portable_sources corefoundation_sources)
  if(source IN_LIST portable_sources)
    preprocess("${source}" ${apple} -I${unreachable})
  else()
    preprocess("${source}" -I${unreachable})
  endif()
  if(NOT status EQUAL 0 OR output MATCHES "[^ \t\r\n]")
    list(APPEND failures "${source} is not empty where nothing asks for it (status ${status}): ${errors}")
  endif()
endforeach()
foreach(source IN LISTS portable_sources)
  preprocess("${source}" ${apple} ${asked} ${PORTABLE_FLAGS})
  if(NOT status EQUAL 0 OR NOT output MATCHES "[^ \t\r\n]")
    list(APPEND failures "${source} is empty as Apple code even where this build asks for it: ${errors}")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n" failures)
  message(FATAL_ERROR "${failures}")
endif()
