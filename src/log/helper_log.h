#pragma once

#include <functional>
#include <string>

// Appends one timestamped line to the log's sink. Callable from any thread; never fails towards
// its caller (a line that cannot be written is dropped).
void HelperLog(const std::wstring& message);

// Where the lines go, each whole and in UTF-8, one at a time. Until a sink is set, lines are
// dropped; the entry point sets the log file, tests may keep the lines in memory.
using LogSink = std::function<void(const std::string& line)>;
void SetLogSink(LogSink sink);

// The log file: helper.log in the data directory, bounded and rotated.
void AppendToLogFile(const std::string& line);

// The line as it goes into the file, before the conversion to UTF-8.
std::wstring FormatLogLine(int year, int month, int day, int hour, int minute, int second,
                           const std::wstring& message);
