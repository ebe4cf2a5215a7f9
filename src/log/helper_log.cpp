#include "log/helper_log.h"

#include <cwchar>
#include <mutex>

#include "log/data_directory.h"
#include "platform/platform.h"

namespace {
std::mutex LogLock;
}

std::wstring FormatLogLine(int year, int month, int day, int hour, int minute, int second,
                           const std::wstring& message) {
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L"%04d-%02d-%02d %02d:%02d:%02d  ", year, month, day, hour, minute,
                  second);
    return stamp + message + L"\r\n";
}

void HelperLog(const std::wstring& message) {
    // The lock covers path resolution, open, write and close so lines never interleave.
    std::lock_guard<std::mutex> lock(LogLock);
    const platform::LocalTime now = platform::CurrentLocalTime();
    const std::string line = platform::WideToUtf8(
        FormatLogLine(now.year, now.month, now.day, now.hour, now.minute, now.second, message));
    UseDataFile(kLogFileName,
                [&line](const std::wstring& path) { return platform::AppendToFile(path, line); });
}
