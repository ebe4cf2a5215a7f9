#pragma once

#include <cstdint>
#include <string>

// The lower-cased file name of the process's executable (C:\Tools\App.EXE gives app.exe), or
// an empty string when the process cannot be identified.
std::wstring ProcessImageName(uint32_t processId);
