#pragma once

// WinDivert's socket-layer event record and entry points, declared here from its published
// interface (the library itself is loaded at run time and never linked).

#include <cstddef>
#include <cstdint>

namespace platform {

struct DivertAddress {
    int64_t timestamp;
    uint32_t flags;  // Layer bits 0-7, Event bits 8-15, IPv6 bit 20, ...
    uint32_t reserved1;
    uint64_t endpointId;
    uint64_t parentEndpointId;
    uint32_t processId;
    uint32_t localAddr[4];
    uint32_t remoteAddr[4];
    uint16_t localPort;
    uint16_t remotePort;
    uint8_t protocol;
    uint8_t padding[7];
};
static_assert(sizeof(DivertAddress) == 80, "WINDIVERT_ADDRESS is 80 bytes");
static_assert(offsetof(DivertAddress, flags) == 8, "bit field word");
static_assert(offsetof(DivertAddress, processId) == 32, "Socket.ProcessId");
static_assert(offsetof(DivertAddress, remoteAddr) == 52, "Socket.RemoteAddr");
static_assert(offsetof(DivertAddress, protocol) == 72, "Socket.Protocol");

inline uint32_t DivertEvent(const DivertAddress& address) {
    return (address.flags >> 8) & 0xFFu;
}
inline bool DivertIsIPv6(const DivertAddress& address) {
    return (address.flags >> 20) & 1u;
}
inline bool DivertIsLoopback(const DivertAddress& address) {
    return (address.flags >> 18) & 1u;
}

constexpr int kDivertLayerSocket = 3;
constexpr uint64_t kDivertFlagSniff = 0x1;
constexpr uint64_t kDivertFlagRecvOnly = 0x4;
constexpr uint32_t kDivertEventSocketConnect = 4;
constexpr int kDivertShutdownRecv = 1;

using DivertHandle = void*;
// BOOL is a 32-bit int and UINT a 32-bit unsigned int on Windows.
using DivertOpenFn = DivertHandle (*)(const char* filter, int layer, int16_t priority,
                                      uint64_t flags);
using DivertRecvFn = int (*)(DivertHandle handle, void* packet, unsigned packetLen,
                             unsigned* recvLen, DivertAddress* address);
using DivertCloseFn = int (*)(DivertHandle handle);
using DivertFormatIPv4Fn = int (*)(uint32_t address, char* buffer, unsigned bufferLength);
using DivertShutdownFn = int (*)(DivertHandle handle, int how);

inline DivertHandle InvalidDivertHandle() {
    return reinterpret_cast<DivertHandle>(~uintptr_t{0});
}

}  // namespace platform
