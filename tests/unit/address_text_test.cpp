// Addresses as the log and the state file write them, and as configurations give them.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "split/address_text.h"

namespace {

Ipv6Bytes Bytes(const char* text) {
    Ipv6Bytes address{};
    EXPECT_EQ(inet_pton(AF_INET6, text, address.data()), 1) << text;
    return address;
}

// The shortest form: the longest run of two or more zero groups is "::", the first of equals.
TEST(AddressTextTest, Ipv6TextCompressesTheLongestZeroRunOnly) {
    const std::pair<const char*, const wchar_t*> rows[] = {
        {"2001:db8:0:1:1:1:1:1", L"2001:db8:0:1:1:1:1:1"},  // a single zero group stays
        {"2001:0:0:1:0:0:0:1", L"2001:0:0:1::1"},           // the longest run, not the first
        {"2001:db8:0:0:1:0:0:1", L"2001:db8::1:0:0:1"},     // a tie: the first
        {"0:0:0:0:0:0:0:0", L"::"},
        {"0:0:0:0:0:0:0:1", L"::1"},
        {"fe80:0:0:0:0:0:0:0", L"fe80::"},
        {"abcd:ef01:0:0:0:0:0:f00", L"abcd:ef01::f00"}};
    for (const auto& [address, text] : rows) {
        EXPECT_EQ(Ipv6Text(Bytes(address)), text) << address;
    }
}

TEST(AddressTextTest, DottedAddressAndTheMappedForm) {
    const uint32_t address = htonl(0xC0000201);  // 192.0.2.1
    EXPECT_EQ(DottedAddress(address), L"192.0.2.1");
    EXPECT_EQ(MappedAddress(address), Bytes("::ffff:192.0.2.1"));
    uint32_t back = 0;
    EXPECT_TRUE(MappedIpv4(Bytes("::ffff:192.0.2.1"), back));
    EXPECT_EQ(back, address);
    EXPECT_FALSE(MappedIpv4(Bytes("::fffe:192.0.2.1"), back));
    EXPECT_FALSE(MappedIpv4(Bytes("1::ffff:192.0.2.1"), back));
}

// Each text parsed as a prefix and written back; "" where it does not parse.
TEST(AddressTextTest, PrefixTextParsesAndIsWrittenBack) {
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"10.8.0.2", L"10.8.0.2"},
        {L"10.8.0.0/24", L"10.8.0.0/24"},
        {L"10.8.0.2/32", L"10.8.0.2"},
        {L"0.0.0.0/0", L"0.0.0.0/0"},
        {L"10.8.0.2/33", L""},
        {L"10.08.0.2", L""},
        {L"2001:DB8::1/64", L"2001:db8::1/64"},
        {L"::/0", L"::/0"},
        {L"::ffff:1.2.3.4", L"::ffff:102:304"},
        {L"1:2:3:4:5:6:7::", L"1:2:3:4:5:6:7:0"},
        {L"1:2:3:4:5:6:7:8::", L""},
        {L"::1/129", L""},
        {L"fe80::1%1", L""}};
    for (const auto& [text, written] : rows) {
        FamilyPrefix prefix;
        const bool parsed = ParsePrefixText(text, prefix);
        EXPECT_EQ(parsed ? PrefixText(prefix) : L"", written) << text;
    }
}

}  // namespace
