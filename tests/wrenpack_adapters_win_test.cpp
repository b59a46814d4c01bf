// The Windows adapter list over a recorded host: a wired adapter on the default route, an IEEE
// 802.11 one, a disconnected one, one without IPv4, and what the list must leave out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapters_win.h"
#include <ws2tcpip.h>

namespace {

struct Recorded {
    const char* guid;
    IFTYPE type;
    IF_OPER_STATUS status;
    const char* ipv4;  // nullptr: none
    UINT8 prefix;
    const char* gateway;
    ULONG mtu;
    ULONG64 speed;
    BYTE macLength;
};

// A host's answer, as GetAdaptersAddresses gives it; the capture library lists every adapter.
const Recorded kHost[] = {
    {"{11111111-0000-0000-0000-000000000001}", IF_TYPE_IEEE80211, IfOperStatusUp, "192.168.1.20", 24, "192.168.1.1", 1500, 300000000, 6},
    {"{11111111-0000-0000-0000-000000000002}", IF_TYPE_ETHERNET_CSMACD, IfOperStatusDown, nullptr, 0, nullptr, 1500, ~ULONG64{0}, 6},
    {"{11111111-0000-0000-0000-000000000003}", IF_TYPE_ETHERNET_CSMACD, IfOperStatusUp, nullptr, 0, nullptr, 9000, 1000000000, 6},
    {"{11111111-0000-0000-0000-000000000004}", IF_TYPE_SOFTWARE_LOOPBACK, IfOperStatusUp, "127.0.0.1", 8, nullptr, 1500, 0, 0},
    {"{11111111-0000-0000-0000-000000000005}", IF_TYPE_TUNNEL, IfOperStatusUp, nullptr, 0, nullptr, 1280, 0, 8},
    {"{11111111-0000-0000-0000-000000000006}", IF_TYPE_ETHERNET_CSMACD, IfOperStatusUp, "10.0.0.5", 16, "10.0.0.1", 1500, 100000000, 6},
};
constexpr size_t kCount = sizeof kHost / sizeof kHost[0];

struct Storage {
    IP_ADAPTER_ADDRESSES adapters[kCount];
    IP_ADAPTER_UNICAST_ADDRESS unicast[kCount][2];
    IP_ADAPTER_GATEWAY_ADDRESS_LH gateway[kCount];
    sockaddr_in v4[kCount], gw[kCount];
    sockaddr_in6 v6[kCount];
    wchar_t names[kCount][16];
} g;

sockaddr_in V4(const char* text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(text);
    return a;
}

// Answers as the host does: every adapter carries an IPv6 link-local address besides its IPv4
// one, and an IPv4-only question leaves out the adapters without IPv4.
ULONG WINAPI Query(ULONG family, ULONG, void*, IP_ADAPTER_ADDRESSES* out, ULONG* bytes) {
    if (*bytes < sizeof(IP_ADAPTER_ADDRESSES)) {
        *bytes = sizeof(IP_ADAPTER_ADDRESSES);
        return ERROR_BUFFER_OVERFLOW;
    }
    IP_ADAPTER_ADDRESSES *head = nullptr, **link = &head;
    for (size_t i = 0; i < kCount; ++i) {
        const Recorded& r = kHost[i];
        if (family == AF_INET && !r.ipv4) continue;
        IP_ADAPTER_ADDRESSES& a = g.adapters[i];
        a = {};
        a.AdapterName = const_cast<char*>(r.guid);
        a.IfIndex = ULONG(i + 1);
        a.IfType = r.type;
        a.OperStatus = r.status;
        a.Mtu = r.mtu;
        a.TransmitLinkSpeed = r.speed;
        a.PhysicalAddressLength = r.macLength;
        for (BYTE b = 0; b < r.macLength; ++b) a.PhysicalAddress[b] = BYTE(0x10 * (i + 1) + b);
        swprintf(g.names[i], 16, L"Adapter %u", unsigned(i + 1));
        a.FriendlyName = a.Description = g.names[i];
        g.v6[i] = {};
        g.v6[i].sin6_family = AF_INET6;
        g.unicast[i][0] = {};
        g.unicast[i][0].Address = {reinterpret_cast<sockaddr*>(&g.v6[i]), sizeof g.v6[i]};
        g.unicast[i][0].OnLinkPrefixLength = 64;
        if (r.ipv4 && family != AF_INET6) {
            g.v4[i] = V4(r.ipv4);
            g.unicast[i][1] = {};
            g.unicast[i][1].Address = {reinterpret_cast<sockaddr*>(&g.v4[i]), sizeof g.v4[i]};
            g.unicast[i][1].OnLinkPrefixLength = r.prefix;
            g.unicast[i][0].Next = &g.unicast[i][1];
        }
        a.FirstUnicastAddress = family == AF_INET ? g.unicast[i][0].Next : &g.unicast[i][0];
        if (r.gateway) {
            g.gw[i] = V4(r.gateway);
            g.gateway[i] = {};
            g.gateway[i].Address = {reinterpret_cast<sockaddr*>(&g.gw[i]), sizeof g.gw[i]};
            a.FirstGatewayAddress = &g.gateway[i];
        }
        *link = &a;
        link = &a.Next;
    }
    if (!head) return ERROR_NO_DATA;
    *out = *head;  // the rest of the chain may lie anywhere
    return NO_ERROR;
}

std::string Name(const ADAPTER_INFO_LIST_ENTRY& e) {
    std::string name;
    for (const WP_CHAR16* c = e.szAdapterName; *c; ++c) name += char(*c);
    return name;
}

TEST(WindowsAdapterList, ListsEthernetAndWirelessAdaptersWhateverTheirLinkOrAddress) {
    std::vector<std::string> names;
    for (const Recorded& r : kHost) names.push_back(std::string("\\Device\\NPF_") + r.guid);
    std::vector<wp::pcap_if_wp> devices(kCount);
    for (size_t i = 0; i < kCount; ++i) {
        devices[i].name = names[i].data();
        devices[i].next = i + 1 < kCount ? &devices[i + 1] : nullptr;
    }
    std::vector<ADAPTER_INFO_LIST_ENTRY> list;
    ASSERT_TRUE(wp::MatchAdapters(devices.data(), Query, 6, list));
    // The default route's adapter first, then the library's order; no loopback, no tunnel. All
    // give Ethernet frames (medium 0); an unknown speed reads as none.
    const struct {
        size_t recorded;
        const char *ip, *mask, *gateway;
        uint32_t speed, flags, maxFrame;
    } expected[] = {{5, "10.0.0.5", "255.255.0.0", "10.0.0.1", 1000000, 0, 1514},
                    {0, "192.168.1.20", "255.255.255.0", "192.168.1.1", 3000000, WP_ADAPTER_WIRELESS, 1514},
                    {1, "0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0, 1514},
                    {2, "0.0.0.0", "0.0.0.0", "0.0.0.0", 10000000, 0, 9014}};
    ASSERT_EQ(list.size(), std::size(expected));
    for (size_t i = 0; i < list.size(); ++i) {
        const ADAPTER_INFO_LIST_ENTRY& e = list[i];
        const auto& x = expected[i];
        EXPECT_EQ(Name(e), names[x.recorded]);
        EXPECT_EQ((std::vector<uint32_t>{e.IPAddr, e.IPMask, e.GatewayIPAddr, e.nLinkSpeed, e.nAdapterFlags, e.nMaxFrameSize}),
                  (std::vector<uint32_t>{inet_addr(x.ip), inet_addr(x.mask), inet_addr(x.gateway), x.speed, x.flags, x.maxFrame}))
            << i;
        EXPECT_EQ(std::make_pair(e.nIfIndex, e.nMedium), std::make_pair(uint32_t(x.recorded + 1), 0u)) << i;
        for (int b = 0; b < 6; ++b)
            EXPECT_EQ(e.MACAddr[b], 0x10 * (x.recorded + 1) + b) << i;
    }
}

}  // namespace
