#include "log/helper_log.h"

#include <cwchar>
#include <mutex>

#include "log/data_directory.h"
#include "platform/platform.h"

namespace {

std::mutex LogLock;
// Any local user can make the service log, so the log must not be able to fill the disk.
constexpr uint64_t kMaxLogBytes = 8 * 1024 * 1024;

// Before an append that would take the log past its bound, the log becomes helper.log.1
// (replacing an older one) and a new one starts; if it cannot be moved, it starts anew.
void KeepBounded(const std::wstring& path, size_t appending) {
    const std::optional<uint64_t> size = platform::FileSize(path);
    if (size && *size + appending > kMaxLogBytes && !platform::MoveReplacing(path, path + L".1")) {
        platform::DeletePath(path);
    }
}

}  // namespace

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
    UseDataFile(kLogFileName, [&line](const std::wstring& path) {
        KeepBounded(path, line.size());
        return platform::AppendToFile(path, line);
    });
}
