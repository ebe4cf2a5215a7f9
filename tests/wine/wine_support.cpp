#include "wine_support.h"

#include <fstream>
#include <iterator>

namespace wine_support {

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/"));
}

std::wstring DataDirectory() {
    wchar_t base[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    return (length > 0 && length < MAX_PATH ? std::wstring(base, length) : L"C:\\ProgramData") +
           L"\\Orvanta";
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

std::string HelperLogSince(size_t offset) {
    // One thread writes the log after the lines are queued: read it once it has stopped growing
    // for 200 ms (at most 10 s), so that what a reply followed is in it.
    std::string bytes, before;
    for (int unchanged = 0, polls = 0; unchanged < 4 && polls < 200; ++polls, Sleep(50)) {
        ReadWholeFile(DataDirectory() + L"\\helper.log", bytes);
        unchanged = bytes == before ? unchanged + 1 : 0;
        before = bytes;
    }
    return offset < bytes.size() ? bytes.substr(offset) : std::string();
}

size_t HelperLogSize() {
    return HelperLogSince(0).size();
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file << bytes);
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::app);
    return static_cast<bool>(file << bytes);
}

void StageRoutingTable(const std::wstring& dir) {
    CopyFileW((ProgramDirectory() + L"\\routing\\iphlpapi.dll").c_str(),
              (dir + L"\\iphlpapi.dll").c_str(), FALSE);
    WriteWholeFile(dir + L"\\routes-table.txt",
                   "0.0.0.0 0.0.0.0 10.0.0.1 9 50\n0.0.0.0 0.0.0.0 192.168.1.1 7 35\n"
                   "192.168.1.0 255.255.255.0 0.0.0.0 7 35\n");
    SetInterfaceMetrics(dir, "7 25\n9 10\n");
    WriteWholeFile(dir + L"\\routes-journal.txt", "");
    DeleteFileW((dir + L"\\routes-live.txt").c_str());  // a machine just started
    // Dual-stack: IPv6 through a link-local gateway on the same interface, which has a global
    // address to send from.
    WriteWholeFile(dir + L"\\routes6-table.txt", "::/0 fe80::1 7 256\n2001:db8:1::/64 :: 7 256\n");
    WriteWholeFile(dir + L"\\addresses-table.txt", "192.168.1.5/24 7\n2001:db8:1::5/64 7\n");
    WriteWholeFile(dir + L"\\routes6-metrics.txt", "7 10\n");
    WriteWholeFile(dir + L"\\routes6-journal.txt", "");
    WriteWholeFile(dir + L"\\tcp-table.txt", "");
    DeleteFileW((dir + L"\\routes6-live.txt").c_str());
}

void SetInterfaceMetrics(const std::wstring& dir, const std::string& metrics) {
    WriteWholeFile(dir + L"\\routes-metrics.txt", metrics);
}

namespace {

HANDLE InheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Child::Child(const std::wstring& commandLine, const std::wstring& outputPath) {
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const bool redirected = !outputPath.empty();
    if (redirected) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = InheritableFile(outputPath);
        startup.hStdError = InheritableFile(outputPath + L".err");
    }
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, redirected, 0, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
    }
    if (redirected) {
        CloseHandle(startup.hStdOutput);
        CloseHandle(startup.hStdError);
    }
}

Child::~Child() {
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 10000);
        }
        CloseHandle(process_);
    }
}

DWORD Child::WaitExit(DWORD ms) {
    WaitForSingleObject(process_, ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

HANDLE OpenPipe(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        HANDLE pipe = CreateFileW(L"\\\\.\\pipe\\OrvantaHelper", GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetTickCount64() >= deadline) {
            return pipe;
        }
        Sleep(20);
    }
}

bool WaitForPipe(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (GetTickCount64() < deadline) {
        if (WaitNamedPipeW(L"\\\\.\\pipe\\OrvantaHelper", 100)) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

std::string Exchange(const std::vector<std::string>& pieces) {
    HANDLE pipe = OpenPipe(10000);
    if (pipe == INVALID_HANDLE_VALUE) {
        return "<no pipe>";
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            Sleep(50);  // spacing, so the server meets the pieces in separate reads
        }
        DWORD written = 0;
        WriteFile(pipe, pieces[i].data(), static_cast<DWORD>(pieces[i].size()), &written, nullptr);
    }
    std::string received;
    char buffer[256];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr)) {
        received.append(buffer, count);
    }
    CloseHandle(pipe);
    return received;
}

}  // namespace wine_support
