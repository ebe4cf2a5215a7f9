#pragma once

#include <functional>
#include <string>

// The files the helper keeps in its data directory.
inline const std::wstring kLogFileName = L"helper.log";
extern const std::wstring kConfigFileName;  // the tunnel name with ".conf"
inline const std::wstring kStateFileName = L"helper.state";

// %ProgramData%\Orvanta, resolved from the environment on every call and created when missing.
// Empty when the directory must not be used: a link to somewhere else or, for the service, one
// it could not open, inspect or make its own.
std::wstring DataDirectory();

// Calls `use` with the path of the named file in the data directory while the verified
// directory is held open, so that it cannot be renamed or swapped for a link between the check
// and the use. Returns `use`'s result, or false without calling it when the directory must not
// be used.
bool UseDataFile(const std::wstring& name, const std::function<bool(const std::wstring&)>& use);
