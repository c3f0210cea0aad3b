# The Windows build (cross-built with mingw-w64, see mingw-w64-x86_64.cmake):
# no Qt; the window is the Win32 one (src/win32).
enable_language(RC)

# CLI11 is headers only and the same for every target, but its include root
# is the build machine's /usr/include, whose C library must not reach mingw:
# the build sees its CLI/ folder alone.
find_path(KELVO_CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/include/cli11)
file(CREATE_LINK ${KELVO_CLI11_HEADERS}/CLI ${CMAKE_BINARY_DIR}/include/cli11/CLI SYMBOLIC)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 INTERFACE ${CMAKE_BINARY_DIR}/include/cli11)

# A program that needs only the system's DLLs runs wherever it is copied.
option(KELVO_STATIC_RUNTIME "Link the C and C++ runtimes into the programs" ON)
if(KELVO_STATIC_RUNTIME)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# Debian has no GoogleTest for mingw: it is built here from Debian's sources.
# The tests are listed when ctest runs, under wine, not at every build.
if(KELVO_BUILD_TESTS)
  set(KELVO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, built for the tests")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its targets come as GTest::gtest, GTest::gtest_main and GTest::gmock.
  add_subdirectory(${KELVO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
