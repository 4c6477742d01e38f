# Shared by both toolchain files: the Windows programs we build run on this
# Linux host through Wine, which CTest uses as the cross-compiling emulator.
# Left unset when Wine is missing; the test suite then refuses to configure
# rather than skip anything.
find_program(WINE_EXECUTABLE wine)
find_program(WINESERVER_EXECUTABLE wineserver)
find_program(WINEBOOT_EXECUTABLE wineboot)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
