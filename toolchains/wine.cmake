# Shared by both toolchain files: the Windows programs we build run on this
# Linux host through Wine, which CTest uses as the cross-compiling emulator.
# How Wine runs for us, headless and quiet (so that its own messages stay out
# of standard error), is in wine.env beside this file, read by the tests and
# the scripts alike; each build adds its own WINEPREFIX.
# Left unset when Wine is missing; the test suite then refuses to configure
# rather than skip anything.
find_program(WINE_EXECUTABLE wine)
find_program(WINESERVER_EXECUTABLE wineserver)
find_program(WINEBOOT_EXECUTABLE wineboot)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
