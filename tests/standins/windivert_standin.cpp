// Stand-in for WinDivert.dll: the same exports and record layout, replaying socket events that
// the test appends to divert-events.txt beside the DLL, one a line:
//   <event> <process id> <remote address> [ipv6]
// An address with ':' is an IPv6 event (the IPv6 flag set); a dotted one is IPv4, given as
// WinDivert gives it, ::ffff:a.b.c.d, and a trailing "ipv6" sets the flag on it as a dual-stack
// socket's connect to an IPv4 address shows.
// WinDivertOpen writes its arguments to divert-open.txt. Variants are built with
// STANDIN_NO_FORMAT, STANDIN_NO_RECV or STANDIN_OPEN_ERROR=<code>.
#include <windows.h>
#include <in6addr.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>

#include "platform/windivert_types.h"

extern "C" LONG NTAPI RtlIpv6StringToAddressA(PCSTR text, PCSTR* terminator, IN6_ADDR* address);

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

// WinDivert's four words, word 3 the most significant, each in host byte order; a dotted address
// is read as ::ffff:a.b.c.d.
[[maybe_unused]] bool ParseEvent(const std::string& line, platform::DivertAddress& address) {
    unsigned event = 0, pid = 0;
    char remote[64] = {}, ipv6[8] = {};
    const int fields = std::sscanf(line.c_str(), "%u %u %63s %7s", &event, &pid, remote, ipv6);
    const bool dotted = std::strchr(remote, ':') == nullptr;
    const std::string text = (dotted ? "::ffff:" : "") + std::string(remote);
    IN6_ADDR bytes{};
    PCSTR end = nullptr;
    if (fields < 3 || RtlIpv6StringToAddressA(text.c_str(), &end, &bytes) != 0 || *end != '\0') {
        return false;
    }
    address = {};
    for (int word = 0; word < 4; ++word) {
        std::memcpy(&address.remoteAddr[word], bytes.s6_addr + 12 - 4 * word, 4);
        address.remoteAddr[word] = __builtin_bswap32(address.remoteAddr[word]);
    }
    const bool flagged = !dotted || std::strcmp(ipv6, "ipv6") == 0;
    address.flags =
        platform::kDivertLayerSocket | (event << 8) | (1u << 16) | (flagged ? 1u << 20 : 0);
    address.processId = pid;
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
