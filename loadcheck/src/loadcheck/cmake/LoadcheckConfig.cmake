# loadcheck's CMake package: find_package(Loadcheck) finds it in the folder
# that `loadcheck --cmake-dir` prints (give that as Loadcheck_DIR, or let
# find_package look beside the loadcheck on PATH). Under a cross toolchain
# whose find-root rules hide host packages, CONFIG NO_CMAKE_FIND_ROOT_PATH or
# Loadcheck_DIR finds it.
#
#   loadcheck_bundle(TARGETS prog... [DESTINATION bin] [COMPONENT c]
#                    [WINDOWS release...] [PATHS dir...] [MINGW compiler])
#
# At install time (cmake --install, DESTDIR and CPack too), for each program
# installed in DESTINATION: `loadcheck PROG --deploy` copies beside it the
# DLLs it needs from PATHS and from the MinGW-w64 compiler's runtime (MINGW:
# CMake's own ${CMAKE_CXX_COMPILER}, say), and proves that the installed
# folder starts on each release of WINDOWS (default: loadcheck's, Windows
# 11). A refusal stops the install with loadcheck's verdict; a verdict that
# the built-in data cannot decide is a warning.
cmake_minimum_required(VERSION 3.14)
cmake_policy(SET CMP0087 NEW)  # generator expressions in install(CODE)

# The loadcheck of this package: beside it in a virtual environment, a user
# or system install, or the checkout's scripts/, before any on PATH.
get_filename_component(_loadcheck_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
find_program(LOADCHECK_EXECUTABLE loadcheck
             HINTS "${_loadcheck_root}/../../../bin" "${_loadcheck_root}/../../bin" "${_loadcheck_root}/../../scripts"
             NO_CMAKE_FIND_ROOT_PATH)
if(NOT LOADCHECK_EXECUTABLE)
  set(Loadcheck_FOUND FALSE)
  set(Loadcheck_NOT_FOUND_MESSAGE "no loadcheck command beside ${_loadcheck_root} nor on PATH")
  return()
endif()

function(loadcheck_bundle)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "DESTINATION;COMPONENT;MINGW" "TARGETS;WINDOWS;PATHS")
  if(NOT arg_TARGETS OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "loadcheck_bundle(TARGETS prog... [DESTINATION bin] [COMPONENT c] [WINDOWS release...] "
                        "[PATHS dir...] [MINGW compiler]): ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_DESTINATION)
    set(arg_DESTINATION bin)
  endif()
  set(component)
  if(arg_COMPONENT)
    set(component COMPONENT ${arg_COMPONENT})
  endif()
  set(options --deploy)
  foreach(dir IN LISTS arg_PATHS)
    get_filename_component(dir "${dir}" ABSOLUTE)
    list(APPEND options --path "${dir}")
  endforeach()
  if(arg_MINGW)
    list(APPEND options "--mingw=${arg_MINGW}")
  endif()
  set(releases "${arg_WINDOWS}")
  if(NOT releases)
    set(releases -)  # one run, with loadcheck's default
  endif()
  if(IS_ABSOLUTE "${arg_DESTINATION}")
    set(folder "\$ENV{DESTDIR}${arg_DESTINATION}")
  else()
    set(folder "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${arg_DESTINATION}")
  endif()
  foreach(target IN LISTS arg_TARGETS)
    foreach(release IN LISTS releases)
      set(run "${options}")
      if(NOT release STREQUAL "-")
        list(APPEND run --windows "${release}")
      endif()
      install(CODE "
        execute_process(COMMAND \"${LOADCHECK_EXECUTABLE}\" \"${folder}/$<TARGET_FILE_NAME:${target}>\" ${run}
                        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
        string(REGEX REPLACE \".*\\n([^\\n]+)\\n?$\" \"\\\\1\" verdict \"\\n\${out}\")
        if(status EQUAL 0)
          message(STATUS \"loadcheck: $<TARGET_FILE_NAME:${target}> ${release}: \${verdict}\")
        elseif(status EQUAL 3)
          message(WARNING \"loadcheck: $<TARGET_FILE_NAME:${target}> ${release}: \${verdict}\")
        else()
          message(FATAL_ERROR \"loadcheck: $<TARGET_FILE_NAME:${target}> ${release}: \${verdict}\${err}\")
        endif()" ${component})
    endforeach()
  endforeach()
endfunction()
