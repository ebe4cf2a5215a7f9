# Unit tests and fuzz targets: the portable helper against the fake platform.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

add_library(fake_platform STATIC
  tests/fake/fake_divert.cpp
  tests/fake/fake_files.cpp
  tests/fake/fake_pipes.cpp
  tests/fake/fake_processes.cpp
  tests/fake/fake_routes.cpp
  tests/fake/fake_security.cpp
  tests/fake/fake_services.cpp
  tests/fake/fake_threads.cpp
  tests/fake/fake_time_events.cpp
  tests/fake/fake_world.cpp
  src/platform/posix/base64.cpp
  src/platform/posix/text.cpp
)
target_include_directories(fake_platform PUBLIC src tests/fake)

enable_testing()
add_executable(unit_tests
  tests/unit/access_rules_test.cpp
  tests/unit/address_text_test.cpp
  tests/unit/beside_helper_test.cpp
  tests/unit/configuration_test.cpp
  tests/unit/connect_test.cpp
  tests/unit/data_directory_test.cpp
  tests/unit/disconnect_test.cpp
  tests/unit/dispatcher_test.cpp
  tests/unit/entry_test.cpp
  tests/unit/fake_routes_test.cpp
  tests/unit/helper_log_test.cpp
  tests/unit/installer_test.cpp
  tests/unit/locator_test.cpp
  tests/unit/open_connections_test.cpp
  tests/unit/orvanta_client_logic_test.cpp
  tests/unit/package_steps_test.cpp
  tests/unit/physical_route_test.cpp
  tests/unit/pipe_server_test.cpp
  tests/unit/process_identifier_test.cpp
  tests/unit/process_runner_test.cpp
  tests/unit/recovery_test.cpp
  tests/unit/request_handler_test.cpp
  tests/unit/route_manager_test.cpp
  tests/unit/route_memory_test.cpp
  tests/unit/routes_ahead_test.cpp
  tests/unit/runtime_test.cpp
  tests/unit/service_monitor_test.cpp
  tests/unit/sniffer_test.cpp
  tests/unit/split_apps_test.cpp
  tests/unit/split_status_command_test.cpp
  tests/unit/split_status_test.cpp
  tests/unit/state_file_test.cpp
  tests/unit/tunnel_commands_test.cpp
  tests/unit/wire_test.cpp
)
target_link_libraries(unit_tests PRIVATE orvanta_core fake_platform orvanta_client_logic
  GTest::gtest_main GTest::gmock Threads::Threads)
add_test(NAME unit_tests COMMAND unit_tests)

option(ORVANTA_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(ORVANTA_FUZZ)
  add_executable(request_fuzz tests/fuzz/request_fuzz.cpp)
  target_compile_options(request_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(request_fuzz PRIVATE orvanta_core orvanta_client_logic fake_platform
    -fsanitize=fuzzer)
  add_executable(split_apps_fuzz tests/fuzz/split_apps_fuzz.cpp)
  target_compile_options(split_apps_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(split_apps_fuzz PRIVATE orvanta_core fake_platform -fsanitize=fuzzer)
  add_executable(route_memory_fuzz tests/fuzz/route_memory_fuzz.cpp)
  target_compile_options(route_memory_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(route_memory_fuzz PRIVATE orvanta_core fake_platform -fsanitize=fuzzer)
endif()
