# The real helper, its client and the Windows-side test programs.
enable_language(RC)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

add_library(orvanta_platform_win32 STATIC
  src/platform/win32/divert.cpp
  src/platform/win32/files.cpp
  src/platform/win32/pipes.cpp
  src/platform/win32/processes.cpp
  src/platform/win32/routes.cpp
  src/platform/win32/security.cpp
  src/platform/win32/services.cpp
  src/platform/win32/threads.cpp
  src/platform/win32/text.cpp
  src/platform/win32/time_events.cpp
)
target_include_directories(orvanta_platform_win32 PUBLIC src)
target_link_libraries(orvanta_platform_win32 PUBLIC advapi32 crypt32 iphlpapi ws2_32 ntdll)

if(MINGW)
  set(ORVANTA_WIN_LINK -static -municode)
elseif(MSVC)
  set(ORVANTA_WIN_LINK /MANIFEST:NO)  # the resource script embeds our own manifest
endif()

# The version, for the resource scripts and OrvantaCtl --version: the project's, unless a test
# package asks for another.
set(ORVANTA_VERSION ${PROJECT_VERSION} CACHE STRING "The version the executables carry")
string(REPLACE "." ";" ORVANTA_VERSION_PARTS ${ORVANTA_VERSION})
list(GET ORVANTA_VERSION_PARTS 0 ORVANTA_VERSION_MAJOR)
list(GET ORVANTA_VERSION_PARTS 1 ORVANTA_VERSION_MINOR)
list(GET ORVANTA_VERSION_PARTS 2 ORVANTA_VERSION_PATCH)
configure_file(cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/orvanta_version.h @ONLY)
set(ORVANTA_VERSION_INCLUDES ${CMAKE_BINARY_DIR}/generated ${CMAKE_SOURCE_DIR}/cmake)

add_executable(OrvantaHelper src/app/main.cpp src/app/helper.rc)
target_include_directories(OrvantaHelper PRIVATE ${ORVANTA_VERSION_INCLUDES})
target_link_libraries(OrvantaHelper PRIVATE orvanta_core orvanta_platform_win32 ${ORVANTA_WIN_LINK})

add_library(orvanta_client STATIC client/orvanta_client.cpp)
target_link_libraries(orvanta_client PUBLIC orvanta_client_logic advapi32)

add_executable(OrvantaCtl client/ctl_main.cpp client/ctl.rc)
target_include_directories(OrvantaCtl PRIVATE ${ORVANTA_VERSION_INCLUDES})
target_link_libraries(OrvantaCtl PRIVATE orvanta_client ${ORVANTA_WIN_LINK})

foreach(program pipe_integration_tests helper_integration_tests service_integration_tests)
  add_executable(${program} tests/wine/${program}.cpp tests/wine/wine_check.cpp
    tests/wine/wine_support.cpp)
  target_link_libraries(${program} PRIVATE orvanta_client ${ORVANTA_WIN_LINK})
  target_include_directories(${program} PRIVATE tests/wine)
endforeach()

# Stand-ins for the outside programs, and the integration test programs that use the real
# platform layer directly.
add_executable(amneziawg tests/standins/amneziawg_standin.cpp)
target_link_libraries(amneziawg PRIVATE advapi32 ${ORVANTA_WIN_LINK})

# Takes an oplock as a standard user would, for the check on a real Windows machine
# (tests/windows/check_oplocks.ps1); Wine has no oplocks.
add_executable(oplock_holder tests/windows/oplock_holder.cpp)
target_link_libraries(oplock_holder PRIVATE ${ORVANTA_WIN_LINK})

add_executable(standin_app tests/standins/standin_app.cpp)
target_link_libraries(standin_app PRIVATE ${ORVANTA_WIN_LINK})

foreach(variant full no_format no_recv open_fails)
  set(target windivert_${variant})
  add_library(${target} SHARED tests/standins/windivert_standin.cpp)
  target_include_directories(${target} PRIVATE src)
  target_link_libraries(${target} PRIVATE ntdll)  # IPv6 text of the events
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME WinDivert
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/windivert/${variant})
  if(MINGW)
    target_link_options(${target} PRIVATE -static)
  endif()
endforeach()
target_compile_definitions(windivert_no_format PRIVATE STANDIN_NO_FORMAT)
target_compile_definitions(windivert_no_recv PRIVATE STANDIN_NO_RECV)
target_compile_definitions(windivert_open_fails PRIVATE STANDIN_OPEN_ERROR=5)

# The routing table's stand-in, placed beside the helper by the tests that need it.
add_library(iphlpapi_standin SHARED tests/standins/iphlpapi_standin.cpp)
set_target_properties(iphlpapi_standin PROPERTIES PREFIX "" OUTPUT_NAME iphlpapi
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/routing)
target_link_libraries(iphlpapi_standin PRIVATE ntdll)  # IPv6 text, without Winsock
if(MINGW)
  target_link_options(iphlpapi_standin PRIVATE -static)
endif()

add_executable(service_query tests/wine/service_query.cpp)
target_link_libraries(service_query PRIVATE advapi32 ${ORVANTA_WIN_LINK})

foreach(program tunnel_integration_tests sniffer_integration_tests)
  add_executable(${program} tests/wine/${program}.cpp tests/wine/wine_check.cpp
    tests/wine/wine_support.cpp)
  target_include_directories(${program} PRIVATE tests/wine)
  target_link_libraries(${program} PRIVATE orvanta_core orvanta_platform_win32 crypt32
    ${ORVANTA_WIN_LINK})
endforeach()
# The portable Base64 decoder of the native build, held against the system's.
target_sources(tunnel_integration_tests PRIVATE src/platform/posix/base64.cpp)

# The benchmark (scripts/bench.sh): a bare pipe server as the baseline and the measuring client.
add_executable(bench_bare_server bench/bare_server.cpp)
target_link_libraries(bench_bare_server PRIVATE ${ORVANTA_WIN_LINK})
add_executable(bench_client bench/bench_client.cpp)
target_link_libraries(bench_client PRIVATE orvanta_client ntdll iphlpapi ws2_32 ${ORVANTA_WIN_LINK})
