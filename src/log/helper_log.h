#pragma once

#include <functional>
#include <string>

// Appends one timestamped line to the log's sink. Callable from any thread; never fails towards
// its caller (a line that cannot be written is dropped). While the writer runs, the line is only
// queued, in order: a caller never waits on the file. Lines that find the queue full are counted,
// and "log queue full; N lines dropped" follows the lines written before them.
void HelperLog(const std::wstring& message);

// Where the lines go, whole and in UTF-8, one or more at a time, in order. Until a sink is set,
// lines are dropped; the entry point sets the log file, tests may keep the lines in memory.
using LogSink = std::function<void(const std::string& lines)>;
void SetLogSink(LogSink sink);

// The one thread that writes the queued lines. Until it is started, and if it cannot be, each
// caller writes the queue itself.
void StartLogWriter();
// Waits, a few seconds at most, until every line logged so far is written or dropped: before the
// service reports that it has stopped.
void DrainLog();
// Drains, then ends the writer: before the process exits.
void StopLogWriter();

// The log file: helper.log in the data directory, bounded and rotated. Lines it cannot take
// because another process holds it past the bound are counted, and the count logged first when
// it can: "<path> held by another process; N lines dropped".
void AppendToLogFile(const std::string& lines);

// The line as it goes into the file, before the conversion to UTF-8.
std::wstring FormatLogLine(int year, int month, int day, int hour, int minute, int second,
                           const std::wstring& message);
