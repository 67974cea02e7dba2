# The Windows program (cross-built with MinGW-w64 against a static Qt): one executable that
# needs only Windows' own DLLs, with its icon, version information and manifest.

# Every executable, the tests' too, carries its C and C++ runtime and threads inside. CMake
# ends the link line with -Bdynamic before Windows' import libraries; the compiler's own
# libraries that follow them (libstdc++, winpthread) must be static all the same.
add_link_options(-static)
string(APPEND CMAKE_C_STANDARD_LIBRARIES " -Wl,-Bstatic")
string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " -Wl,-Bstatic")

# -O2 as on Linux: at -O3 MinGW's GCC 12 warns wrongly (-Wrestrict) about joining strings.
string(REPLACE "-O3" "-O2" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")

set(TARVEX_WINDOWS_DIR ${PROJECT_SOURCE_DIR}/app/windows)
set(TARVEX_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
string(REPLACE "." "," TARVEX_VERSION_COMMAS ${TARVEX_VERSION4})
set(TARVEX_MANIFEST ${CMAKE_BINARY_DIR}/tarvex-convert.manifest)
configure_file(${TARVEX_WINDOWS_DIR}/tarvex-convert.manifest ${TARVEX_MANIFEST} @ONLY)
configure_file(${TARVEX_WINDOWS_DIR}/tarvex-convert.rc.in ${CMAKE_BINARY_DIR}/tarvex-convert.rc @ONLY)

# The tests run under wine (scripts/wine-run: code page 936) in a wine prefix of this build's.
set(TARVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${TARVEX_WINEPREFIX} ${PROJECT_SOURCE_DIR}/scripts/wine-run)
endif()

# GoogleTest for Windows, built from Debian's googletest sources with the program.
function(tarvex_windows_gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # googletest names its targets GTest::gtest, GTest::gtest_main, ... itself.
endfunction()

# windres does not report the files the resource script names: rebuild it when they change.
set_source_files_properties(${CMAKE_BINARY_DIR}/tarvex-convert.rc PROPERTIES
  OBJECT_DEPENDS "${TARVEX_MANIFEST};${TARVEX_WINDOWS_DIR}/tarvex-convert.ico")
