# Which MinGW-w64 target both toolchain files build for: i686-w64-mingw32,
# the product's, unless MINGW_TRIPLE says x86_64-w64-mingw32 (only the test
# suite does, for its 64-bit twin of the program). Sets triple, the
# processor, the symbol prefix of C functions, dlltool's machine, and the
# suffix of Debian's package names for the target (g++-mingw-w64-<suffix>).
set(MINGW_TRIPLE i686-w64-mingw32 CACHE STRING "The MinGW-w64 target: i686-w64-mingw32 or x86_64-w64-mingw32")
# try_compile runs the toolchain file again, in a project of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_TRIPLE)
set(triple ${MINGW_TRIPLE})
set(CMAKE_SYSTEM_NAME Windows)
if(triple STREQUAL "i686-w64-mingw32")
  set(CMAKE_SYSTEM_PROCESSOR x86)
  # A C function's symbol carries a leading underscore on 32-bit x86 only.
  set(MINGW_SYMBOL_PREFIX _)
  set(MINGW_DLLTOOL_MACHINE i386)
  set(MINGW_PACKAGE_SUFFIX i686)
elseif(triple STREQUAL "x86_64-w64-mingw32")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(MINGW_SYMBOL_PREFIX "")
  set(MINGW_DLLTOOL_MACHINE i386:x86-64)
  set(MINGW_PACKAGE_SUFFIX x86-64)
else()
  message(FATAL_ERROR "MINGW_TRIPLE is ${triple}: use i686-w64-mingw32 or x86_64-w64-mingw32")
endif()
