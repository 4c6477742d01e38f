# MinGW-w64 GCC cross compiler and GNU ld for 32-bit x86 Windows
# (Debian: g++-mingw-w64-i686), or for x86-64 where MINGW_TRIPLE says so
# (target.cmake). Flags shared with the clang toolchain live in the
# top-level CMakeLists.txt; only what is GNU-specific is here.
include(${CMAKE_CURRENT_LIST_DIR}/target.cmake)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_DLLTOOL ${triple}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# -x: drop the C runtime's local symbols from the COFF symbol table. The
# global ones (_foo, _main) stay, and the image stays under 32 KiB.
foreach(kind EXE MODULE SHARED)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-x")
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
