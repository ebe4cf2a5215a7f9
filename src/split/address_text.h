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
// The IPv4-mapped form of an IPv4 address in network byte order.
Ipv6Bytes MappedAddress(uint32_t networkOrder);

// An address as the tunnel program reads its configuration: IPv4 in dotted decimal (four fields
// of 0 to 255 without leading zeros) or IPv6 in its text forms ("::" once, a dotted IPv4 tail),
// without a zone. IPv4 comes as a /128 of its mapped form.
bool ParseAddressText(const std::wstring& text, FamilyPrefix& address);
// An address with an optional "/length" (none: a single host), the address's bits beyond the
// length kept as written.
bool ParsePrefixText(const std::wstring& text, FamilyPrefix& prefix);
// A prefix as the log writes it: a single host as its address, anything wider with "/length".
std::wstring PrefixText(const FamilyPrefix& prefix);
