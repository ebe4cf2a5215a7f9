#pragma once

#include <string>

// The directory of the helper's own executable, without a trailing separator; "." when the
// path cannot be read or has no separator.
std::wstring GetModuleDirectory();

// The first of <module dir>\awg\amneziawg.exe and <module dir>\amneziawg.exe that exists, or
// an empty string. Nothing is cached: every call looks again.
std::wstring FindTunnelExe();
