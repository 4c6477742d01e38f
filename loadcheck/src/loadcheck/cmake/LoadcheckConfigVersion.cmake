# The version of this package is loadcheck's own (__version__ in the
# package's __init__.py): any request for that major version, up to it, is met.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../__init__.py" PACKAGE_VERSION REGEX "^__version__ = ")
string(REGEX REPLACE "^__version__ = \"([0-9.]+)\".*" "\\1" PACKAGE_VERSION "${PACKAGE_VERSION}")
string(REGEX MATCH "^[0-9]+" major "${PACKAGE_VERSION}")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION OR
   (PACKAGE_FIND_VERSION_MAJOR AND NOT PACKAGE_FIND_VERSION_MAJOR STREQUAL major))
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
