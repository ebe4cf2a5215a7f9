#pragma once

#include <string>

// Appends one timestamped line to helper.log. Callable from any thread; never fails towards
// its caller (a line that cannot be written is dropped).
void HelperLog(const std::wstring& message);

// The line as it goes into the file, before the conversion to UTF-8.
std::wstring FormatLogLine(int year, int month, int day, int hour, int minute, int second,
                           const std::wstring& message);
