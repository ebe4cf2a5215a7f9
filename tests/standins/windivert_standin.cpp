// Stand-in for WinDivert.dll: the same exports and record layout, replaying socket events that
// the test appends to divert-events.txt beside the DLL, one a line:
//   <event> <process id> <remote IPv4, dotted> [ipv6]
// WinDivertOpen writes its arguments to divert-open.txt. Variants are built with
// STANDIN_NO_FORMAT, STANDIN_NO_RECV or STANDIN_OPEN_ERROR=<code>.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <string>

#include "platform/windivert_types.h"

namespace {

HMODULE self = nullptr;
HANDLE shutdownEvent = nullptr;
std::streamoff consumed = 0;      // bytes of the events file already read
std::deque<std::string> pending;  // lines read but not yet handed out
[[maybe_unused]] int handleToken = 0;

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

// The next complete line of the events file, if one has arrived. Every complete line there is
// read at once, as WinDivert queues events, so a burst costs one read of the file.
[[maybe_unused]] bool NextEventLine(std::string& line) {
    if (pending.empty()) {
        std::ifstream file(Beside(L"divert-events.txt").c_str(), std::ios::binary);
        if (!file || !file.seekg(consumed)) {
            return false;
        }
        std::string next;
        while (std::getline(file, next) && !file.eof()) {  // a line still being written waits
            pending.push_back(next);
            consumed = file.tellg();
        }
    }
    if (pending.empty()) {
        return false;
    }
    line = pending.front();
    pending.pop_front();
    return true;
}

[[maybe_unused]] bool ParseEvent(const std::string& line, platform::DivertAddress& address) {
    unsigned event = 0, pid = 0, a = 0, b = 0, c = 0, d = 0;
    char ipv6[8] = {};
    const int fields =
        std::sscanf(line.c_str(), "%u %u %u.%u.%u.%u %7s", &event, &pid, &a, &b, &c, &d, ipv6);
    if (fields < 6) {
        return false;
    }
    address = {};
    address.flags = platform::kDivertLayerSocket | (event << 8) | (1u << 16) |
                    (std::string(ipv6) == "ipv6" ? 1u << 20 : 0);
    address.processId = pid;
    address.remoteAddr[0] = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

}  // namespace

extern "C" {

__declspec(dllexport) HANDLE
    WinDivertOpen(const char* filter, int layer, int16_t priority, uint64_t flags) {
    FILE* record = _wfopen(Beside(L"divert-open.txt").c_str(), L"wb");
    if (record != nullptr) {
        std::fprintf(record, "%s %d %d %llu\n", filter, layer, priority,
                     static_cast<unsigned long long>(flags));
        std::fclose(record);
    }
#ifdef STANDIN_OPEN_ERROR
    SetLastError(STANDIN_OPEN_ERROR);
    return INVALID_HANDLE_VALUE;
#else
    ResetEvent(shutdownEvent);
    return &handleToken;
#endif
}

#ifndef STANDIN_NO_RECV
__declspec(dllexport) BOOL
    WinDivertRecv(HANDLE, void*, UINT, UINT* recvLen, platform::DivertAddress* address) {
    for (;;) {
        std::string line;
        if (NextEventLine(line)) {
            if (ParseEvent(line, *address)) {
                if (recvLen != nullptr) {
                    *recvLen = 0;
                }
                return TRUE;
            }
            continue;
        }
        if (WaitForSingleObject(shutdownEvent, 10) == WAIT_OBJECT_0) {
            SetLastError(ERROR_NO_DATA);
            return FALSE;
        }
    }
}
#endif

__declspec(dllexport) BOOL WinDivertClose(HANDLE) {
    return TRUE;
}

__declspec(dllexport) BOOL WinDivertShutdown(HANDLE, int how) {
    if (how & platform::kDivertShutdownRecv) {
        SetEvent(shutdownEvent);
    }
    return TRUE;
}

#ifndef STANDIN_NO_FORMAT
__declspec(dllexport) BOOL
    WinDivertHelperFormatIPv4Address(UINT32 address, char* buffer, UINT length) {
    return std::snprintf(buffer, length, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                         (address >> 8) & 0xFF, address & 0xFF) > 0;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        shutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    return TRUE;
}

}  // extern "C"
