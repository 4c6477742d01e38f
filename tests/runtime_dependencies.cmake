# What CMake's file(GET_RUNTIME_DEPENDENCIES), the machinery behind
# install(RUNTIME_DEPENDENCY_SET), finds that test.exe needs, read with
# objdump as a packager cross-building for Windows would:
#  - beside the stand-in, xiapi32.dll resolves to it, and every other
#    dependency to the system's DLLs;
#  - alone, xiapi32.dll is left unresolved, and nothing else is.
#
#   cmake -DEXE=test.exe -DOBJDUMP=objdump -DSYSTEM=dir -DWORK=dir -P runtime_dependencies.cmake
foreach(var EXE OBJDUMP SYSTEM WORK)
  if(NOT ${var})
    message(FATAL_ERROR "runtime_dependencies.cmake needs -D${var}=...")
  endif()
endforeach()

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${OBJDUMP})

function(expect what got wanted)
  if(NOT got STREQUAL wanted)
    message(SEND_ERROR "${what}: got [${got}], expected [${wanted}]")
  else()
    message(STATUS "${what}: [${got}]")
  endif()
endfunction()

# The dependencies of exe that are not in the system folder, and those that
# could not be resolved, lower-cased names (Windows compares them so). What
# resolves to the system folder is then left out, as a packager leaves the
# system's DLLs out; CMake 3.27 and later would otherwise go on to read each
# under the name as the importer spells it (KERNEL32.dll), which the system
# folder of a case-sensitive file system does not have (kernel32.dll).
string(REPLACE "." "\\." system_regex "${SYSTEM}")
string(REPLACE "+" "\\+" system_regex "${system_regex}")
function(dependencies exe outside_var unresolved_var)
  file(GET_RUNTIME_DEPENDENCIES EXECUTABLES ${exe} DIRECTORIES ${SYSTEM}
       POST_EXCLUDE_REGEXES "^${system_regex}/"
       RESOLVED_DEPENDENCIES_VAR outside UNRESOLVED_DEPENDENCIES_VAR unresolved)
  string(TOLOWER "${unresolved}" unresolved)
  set(${outside_var} "${outside}" PARENT_SCOPE)
  set(${unresolved_var} "${unresolved}" PARENT_SCOPE)
endfunction()

cmake_path(GET EXE PARENT_PATH build)
dependencies(${EXE} outside unresolved)
string(TOLOWER "${outside}" outside)
string(TOLOWER "${build}/xiapi32.dll" standin)
expect("beside the stand-in: dependencies outside the system" "${outside}" "${standin}")
expect("beside the stand-in: unresolved" "${unresolved}" "")

file(REMOVE_RECURSE ${WORK})
file(COPY ${EXE} DESTINATION ${WORK})
cmake_path(GET EXE FILENAME name)
dependencies(${WORK}/${name} outside unresolved)
expect("alone: dependencies outside the system" "${outside}" "")
expect("alone: unresolved" "${unresolved}" "xiapi32.dll")
