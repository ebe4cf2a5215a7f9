#include "log/data_directory.h"

#include "common/names.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxBaseLength = 259;  // what fits a MAX_PATH buffer with its NUL

std::wstring BaseDirectory() {
    const auto value = platform::EnvironmentVariable(L"ProgramData");
    if (value && !value->empty() && value->size() <= kMaxBaseLength) {
        return *value;  // verbatim: a trailing backslash stays
    }
    return L"C:\\ProgramData";
}

}  // namespace

std::wstring DataDirectory() {
    std::wstring directory = BaseDirectory() + L"\\Orvanta";
    platform::CreateDirectoryIfMissing(directory);
    return directory;
}

std::wstring LogFilePath() {
    return DataDirectory() + L"\\helper.log";
}

std::wstring ConfigFilePath() {
    return DataDirectory() + L"\\" + TunnelName + L".conf";
}
