# Adds the benchmarks to a cross build, which the top level leaves out:
#   cmake --preset armhf -B DIR -DTSH_TESTS=OFF -DCMAKE_PROJECT_tsh_INCLUDE=$PWD/bench/cross.cmake
# Included at the end of project(tsh); the targets join once the top level
# has defined the daemon and the stand-ins they need. (A deferred call's
# arguments are expanded when it runs, so the path is written in now.)
if(CMAKE_CROSSCOMPILING)
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL include [[${CMAKE_CURRENT_LIST_DIR}/targets.cmake]])")
endif()
