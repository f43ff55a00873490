# Benchmarks: plain programs with their own timing loops, run by scripts/bench.
# Included from here natively, and by cross.cmake into a cross build, so
# every path is given from this file's own directory.
set(B ${CMAKE_CURRENT_LIST_DIR})
add_library(bench_figures STATIC ${B}/bench_figures.cpp)
target_include_directories(bench_figures PUBLIC ${B})
target_link_libraries(bench_figures PUBLIC PkgConfig::HIREDIS)
if(TSH_TESTS)
  tsh_gtest(bench_figures_test SOURCES ${B}/bench_figures_test.cpp LIBS bench_figures)
endif()

# The daemon benches drive the daemon, a Q7 server and an agent.
add_library(bench_journal STATIC ${B}/bench_journal.cpp)
target_include_directories(bench_journal PUBLIC ${B})
target_link_libraries(bench_journal PUBLIC bench_figures saproto Threads::Threads)
# The harness the daemon benches share.
add_library(bench_harness STATIC ${B}/q7_seed.cpp ${B}/lab_processes.cpp ${B}/agent_control.cpp
  ${B}/proc_stats.cpp ${B}/bench_cli.cpp)
target_link_libraries(bench_harness PUBLIC bench_journal q7lib)
target_compile_definitions(bench_harness PRIVATE TSH_BENCH_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

add_executable(q7_bench ${B}/q7_bench.cpp)
target_link_libraries(q7_bench PRIVATE bench_harness)
add_executable(device_bench ${B}/device_bench.cpp)
target_link_libraries(device_bench PRIVATE bench_harness sabroker)
add_executable(daemon_bench ${B}/daemon_bench.cpp)
target_link_libraries(daemon_bench PRIVATE bench_harness wexlib q7dynlog)
# The soak run behind scripts/soak.
add_library(soak_lib STATIC ${B}/soak_check.cpp ${B}/soak_options.cpp ${B}/soak_report.cpp)
target_link_libraries(soak_lib PUBLIC bench_harness)
add_executable(soak ${B}/soak.cpp)
target_link_libraries(soak PRIVATE soak_lib)
foreach(b device_bench daemon_bench soak)
  add_dependencies(${b} TeSvcHdlr sa-agentd agentctl)
endforeach()
# q7ctl loads a lab's tables (daemon_bench --load).
foreach(b daemon_bench soak)
  add_dependencies(${b} q7ctl)
endforeach()

if(TSH_TESTS)
  tsh_gtest(proc_stats_test SOURCES ${B}/proc_stats_test.cpp LIBS bench_harness)
  tsh_gtest(bench_cli_test SOURCES ${B}/bench_cli_test.cpp LIBS bench_harness)
  tsh_gtest(lab_processes_test SOURCES ${B}/lab_processes_test.cpp LIBS bench_harness agent_test_util)
  tsh_gtest(soak_check_test SOURCES ${B}/soak_check_test.cpp LIBS soak_lib)
  tsh_gtest(soak_report_test SOURCES ${B}/soak_report_test.cpp LIBS soak_lib)
  # They start the daemon: they hold the lock of the daemon's end-to-end
  # tests, whose pid file they share.
  add_executable(daemon_benches_test ${B}/daemon_benches_test.cpp)
  target_include_directories(daemon_benches_test PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(daemon_benches_test PRIVATE agent_test_util GTest::gtest_main Threads::Threads)
  add_dependencies(daemon_benches_test q7_bench device_bench daemon_bench)
  set_property(TARGET daemon_benches_test PROPERTY CROSSCOMPILING_EMULATOR env ${TSH_TEST_ENV})
  gtest_discover_tests(daemon_benches_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 RESOURCE_LOCK tsh_daemon)
endif()
