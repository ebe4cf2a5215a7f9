# The real helper, its client and the Windows-side test programs.
enable_language(RC)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

add_library(orvanta_platform_win32 STATIC
  src/platform/win32/files.cpp
  src/platform/win32/pipes.cpp
  src/platform/win32/text.cpp
  src/platform/win32/time_events.cpp
)
target_include_directories(orvanta_platform_win32 PUBLIC src)
target_link_libraries(orvanta_platform_win32 PUBLIC crypt32 advapi32)

if(MINGW)
  set(ORVANTA_WIN_LINK -static -municode)
elseif(MSVC)
  set(ORVANTA_WIN_LINK /MANIFEST:NO)  # the resource script embeds our own manifest
endif()

add_executable(OrvantaHelper src/app/main.cpp src/app/helper.rc)
target_link_libraries(OrvantaHelper PRIVATE orvanta_core orvanta_platform_win32 ${ORVANTA_WIN_LINK})

add_library(orvanta_client STATIC client/orvanta_client.cpp)
target_link_libraries(orvanta_client PUBLIC orvanta_client_logic advapi32)

add_executable(OrvantaCtl client/ctl_main.cpp)
target_link_libraries(OrvantaCtl PRIVATE orvanta_client ${ORVANTA_WIN_LINK})

add_executable(pipe_integration_tests tests/wine/pipe_integration_tests.cpp tests/wine/wine_check.cpp tests/wine/wine_support.cpp)
target_link_libraries(pipe_integration_tests PRIVATE orvanta_client ${ORVANTA_WIN_LINK})
target_include_directories(pipe_integration_tests PRIVATE tests/wine)
