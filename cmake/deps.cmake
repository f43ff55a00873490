# Debian's hiredis, cJSON and GoogleTest. The armhf build finds the armhf
# multiarch copies through the toolchain file's pkg-config path; GoogleTest
# is built from Debian's sources there, as no armhf archive is installed.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)

if(TSH_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Debian's sources warn under our flags; they are not ours to fix.
    # (They define the GTest:: aliases themselves.)
    foreach(t gtest gtest_main gmock gmock_main)
      target_compile_options(${t} PRIVATE -Wno-error)
    endforeach()
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()
