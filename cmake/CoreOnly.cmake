# The core without Qt (formats, link, protocols, download), the scripted doubles and the
# unit tests that need neither Qt nor a pseudo-terminal. Cross-built for Windows with
# cmake/mingw-w64-x86_64.cmake; it builds on Linux as well.
set(OSTRA_WINDOW OFF)  # the window needs Qt Widgets
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  # No GoogleTest for the target system: build it from the sources Debian's googletest
  # package ships, with the project's compiler and flags.
  set(OSTRA_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # It names its targets GTest::gtest, GTest::gmock, ... as find_package(GTest) does.
  add_subdirectory(${OSTRA_GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

enable_testing()
include(GoogleTest)

add_subdirectory(src/formats)
add_subdirectory(src/files)
add_subdirectory(src/link)
add_subdirectory(src/protocols)
add_subdirectory(src/download)
add_subdirectory(tests)
