#pragma once

// The route memory: the destinations the listed applications got bypass routes for, so that
// their routes can be made again before the first connection when splitting starts. Kept in
// helper.memory beside helper.state (SYSTEM and Administrators only) by the service; a helper in
// the foreground keeps it for its run only.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "split/route_types.h"

// The bounds of what is kept: addresses per family (least recently used out), names per
// address and in all (least recently seen out), a name's length (a file name's), and the age
// at which an address is forgotten.
constexpr size_t kRememberedPerFamily = 2048;
constexpr size_t kNamesPerAddress = 8;
constexpr size_t kRememberedNames = 256;
constexpr size_t kLongestRememberedName = 255;
constexpr uint64_t kRememberedSeconds = 7 * 24 * 3600;
// A use refreshes an address's time at most this often, so browsing does not rewrite the file.
constexpr uint64_t kUseRefreshSeconds = 3600;

// Notes that `name`, a listed application, got (or found) a bypass route to `address` (IPv4 in
// its mapped form); on the system clock, a time that went back taken as now.
void RememberRoute(const Ipv6Bytes& address, const std::wstring& name);
// The remembered addresses any of `apps` used, least recently used first; what aged out is
// forgotten first.
std::vector<Ipv6Bytes> RememberedAddresses(const std::set<std::wstring>& apps);
size_t RememberedAddressCount();

// Whether the memory is kept in its file: only the service turns it on.
void UseRouteMemoryFile(bool use);
// Replaces the memory with the file's; a missing, unreadable or malformed file gives an empty
// memory and one log line.
void LoadRouteMemory();
// Writes the file whole, through a temporary file, when the memory changed since it was last
// written. The state file's save timer calls it, and the stop of splitting.
void SaveRouteMemoryIfChanged();
// Empties the memory and deletes its file (on request, and between tests).
void ForgetRouteMemory();

// The largest file the writer writes, which the reader takes whole: its first line, every name
// at the longest (three UTF-8 bytes a unit, hex-encoded), and every address of both families
// with all its names.
constexpr size_t kRouteMemoryHeaderBytes = 23;  // "orvanta-route-memory 1\n"
constexpr size_t kRouteMemoryNameLineBytes = 2 + 2 * 3 * kLongestRememberedName + 1;
constexpr size_t kRouteMemoryAddressLineBytes = 2 + 32 + 1 + 16 + 1 + 2 * kNamesPerAddress + 1;
constexpr size_t kMaxRouteMemoryBytes = kRouteMemoryHeaderBytes +
                                        kRememberedNames * kRouteMemoryNameLineBytes +
                                        2 * kRememberedPerFamily * kRouteMemoryAddressLineBytes;
