# LLVM clang and lld in MinGW mode for 32-bit x86 Windows, using the
# mingw-w64 headers and C runtime that the GCC cross compiler brings
# (Debian: clang, lld, llvm, g++-mingw-w64-i686), or for x86-64 where
# MINGW_TRIPLE says so (target.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/target.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER llvm-rc)
set(CMAKE_DLLTOOL llvm-dlltool)
set(CMAKE_AR llvm-ar)
set(CMAKE_RANLIB llvm-ranlib)
set(CMAKE_NM llvm-nm)
set(CMAKE_OBJDUMP llvm-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not recognise Debian's GCC folder (lib/gcc/<triple>/12-win32) as
# a GCC installation, so it finds neither libgcc nor the libstdc++ headers.
# Ask the GCC cross compiler where its libgcc is, and point clang there.
execute_process(COMMAND ${triple}-gcc -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed)
if(failed OR NOT EXISTS "${libgcc}")
  message(FATAL_ERROR "${triple}-gcc did not say where libgcc is; "
                      "install g++-mingw-w64-${MINGW_PACKAGE_SUFFIX} (scripts/setup does)")
endif()
get_filename_component(gcc_dir "${libgcc}" DIRECTORY)

set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${triple} -isystem ${gcc_dir}/include/c++/backward")
foreach(kind EXE MODULE SHARED)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_dir}")
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
