# Shared by both toolchain files: the Windows programs we build run on this
# Linux host through Wine, which CTest uses as the cross-compiling emulator.
# It starts Wine through scripts/with-wine, which runs it inside an emulated
# x86-64 machine where this host's kernel refuses 32-bit x86 programs.
# How Wine runs for us, headless and quiet (so that its own messages stay out
# of standard error), is in wine.env beside this file; scripts/with-wine gives
# it, and the Wine prefix, to everything that starts Wine.
# Left unset when Wine is missing; the test suite then refuses to configure
# rather than skip anything.
find_program(WINE_EXECUTABLE wine)
if(WINE_EXECUTABLE)
  get_filename_component(project_dir ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${project_dir}/scripts/with-wine ${WINE_EXECUTABLE})
endif()
