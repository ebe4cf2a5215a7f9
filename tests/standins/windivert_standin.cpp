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

// WinDivert's four words, word 3 the most significant, each in host byte order.
[[maybe_unused]] bool EncodeAddress(const std::string& text, uint32_t (&words)[4], bool& ipv6) {
    if (text.find(':') != std::string::npos) {
        IN6_ADDR address{};
        PCSTR end = nullptr;
        if (RtlIpv6StringToAddressA(text.c_str(), &end, &address) != 0 || *end != '\0') {
            return false;
        }
        for (int word = 0; word < 4; ++word) {
            const unsigned char* bytes = address.s6_addr + 12 - 4 * word;
            words[word] =
                (uint32_t{bytes[0]} << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
        }
        ipv6 = true;
        return true;
    }
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        return false;
    }
    words[0] = (a << 24) | (b << 16) | (c << 8) | d;
    words[1] = 0x0000FFFF;
    return true;
}

[[maybe_unused]] bool ParseEvent(const std::string& line, platform::DivertAddress& address) {
    unsigned event = 0, pid = 0;
    char remote[64] = {}, ipv6[8] = {};
    if (std::sscanf(line.c_str(), "%u %u %63s %7s", &event, &pid, remote, ipv6) < 3) {
        return false;
    }
    address = {};
    bool isIpv6 = std::string(ipv6) == "ipv6";
    if (!EncodeAddress(remote, address.remoteAddr, isIpv6)) {
        return false;
    }
    address.flags =
        platform::kDivertLayerSocket | (event << 8) | (1u << 16) | (isIpv6 ? 1u << 20 : 0);
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
