#pragma once

// Addresses as the log and the state file write them.

#include <cstdint>
#include <string>

#include "split/route_types.h"

// An IPv4 address in network byte order, dotted.
std::wstring DottedAddress(uint32_t networkOrder);
// An IPv6 address in its shortest form: lower-case hexadecimal groups, the longest run of two or
// more zero groups written "::".
std::wstring Ipv6Text(const Ipv6Bytes& address);
// Whether the address is an IPv4 address in its mapped form (::ffff:a.b.c.d), and which.
bool MappedIpv4(const Ipv6Bytes& address, uint32_t& networkOrder);
