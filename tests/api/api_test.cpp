// The library as a caller sees it: the exports, the public header and the error pairs.
#include <gtest/gtest.h>

#include "test_support.h"

extern "C" int vifnet32_header_c_check(void);

using namespace vtest;

static constexpr int kFd = 123457;
static char g_buf[64];
static VIFNET32_STATS g_st;

TEST(Header, RecordsHaveTheirSizesInC) { EXPECT_EQ(vifnet32_header_c_check(), 0); }

TEST(Version, NumbersTextAndCopyright) {
    int major = -1, release = -1, build = -1, e = -1;
    vifnet32_version_numbers_ex(&major, nullptr, &release, &build, &e);
    EXPECT_EQ(std::make_tuple(major, release, build, e), std::make_tuple(3, 0, 5409, 0));
    errno = 5;
    EXPECT_STREQ(vifnet32_version_string(), "3.7.0.5409-U");
    EXPECT_EQ(errno, 0);
    e = -1;
    EXPECT_STREQ(vifnet32_version_string_ex(&e), "3.7.0.5409-U");
    EXPECT_NE(std::string(vifnet32_copyright_string_ex(&e)).find("Quillmark"), std::string::npos);
    EXPECT_EQ(e, 0);
}

// The algorithms are checked at every length and alignment by the unit tests; here, the exports.
TEST(Helpers, ChecksumsAndTarnMacThroughTheExports) {
    EXPECT_EQ(vifnet32_calc_checksum("abc", 3), 0xC462);
    EXPECT_EQ(vifnet32_calc_inet_checksum_ex("abc", 3, nullptr), 0x3B9D);
    // No error to report: a negative length or no data sums nothing.
    EXPECT_EQ(vifnet32_calc_checksum("abc", -1), 0);
    EXPECT_EQ(vifnet32_calc_inet_checksum(nullptr, 3), 0xFFFF);
    unsigned char mac[6] = {};
    const unsigned char ip[4] = {192, 168, 1, 10}, ip2[4] = {10, 0, 0, 5};
    vifnet32_build_tarn_iface_mac(mac, ip);
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x02, 0x00, 0x5E, 0xA8, 0x01, 0x0A}));
    vifnet32_build_tarn_iface_mac_ex(mac, ip2, nullptr);
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x02, 0x00, 0x5E, 0x80, 0x00, 0x05}));
}

TEST(SocketPair, ArgumentsCheckedInOrderThenTheEndsAreConnected) {
    CaptureMessages messages;
    // Only the first violation counts; errno carries the Windows Sockets code, with no message.
    // (Each plain export reports through its _ex form, whose number the other tests read.)
    const int cases[][4] = {{23, 2, 0, 10047}, {2, 2, 0, 10043}, {2, 1, 6, 10041}, {2, 1, 17, 10041}};
    for (const auto& [domain, type, protocol, error] : cases) {
        int sv[2] = {5, 5};
        EXPECT_EQ(vifnet32_socketpair(domain, type, protocol, sv), -1);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(sv[0], -1);
        EXPECT_EQ(sv[1], -1);
    }
    EXPECT_EQ(vifnet32_socketpair(2, 1, 0, nullptr), -1);  // nowhere to put the pair
    EXPECT_EQ(Err(), std::pair(22, 87u));
    EXPECT_TRUE(messages.Take().empty());
    int sv[2];
    ASSERT_EQ(vifnet32_socketpair(2, 1, 0, sv), 0);
    for (int from : {0, 1}) {
        char buf[8] = {};
        ASSERT_EQ(SendBytes(sv[from], "12345678", 8), 8);
        ASSERT_EQ(RecvBytes(sv[1 - from], buf, 8), 8);
        EXPECT_EQ(std::string(buf, 8), "12345678") << from;
    }
    for (int s : sv)
        CloseSocket(s);
}

TEST(Descriptors, EveryCallOnAnUnknownDescriptorFailsOnceWithEBADF) {
    CaptureMessages messages;
    g_st.dwStructSize = sizeof g_st;
    // The plain forms, each of which runs its _ex form.
    const std::pair<const char*, int (*)()> calls[] = {
        {"Close", [] { return vifnet32_close(kFd); }},
        {"Read", [] { return vifnet32_read(kFd, g_buf, 64); }},
        {"Write", [] { return vifnet32_write(kFd, g_buf, 60); }},
        {"BegMultiWrite", [] { return vifnet32_beg_write_multi(kFd, 4096); }},
        {"EndMultiWrite", [] { return vifnet32_end_write_multi(kFd); }},
        {"GetVifnetStats", [] { return vifnet32_get_stats(kFd, &g_st); }},
    };
    const std::string tail = "GetVFPtrFromfd(123457) failed for process " + Hex8(ProcessId()) + "; rc=6: ";
    for (const auto& [op, run] : calls) {
        errno = 0;
        EXPECT_EQ(run(), -1) << op;
        EXPECT_EQ(Err(), std::pair(9, 6u)) << op;
        EXPECT_TRUE(Begin(messages.Take(), {"** CVifnet32App::" + std::string(op) + ": " + tail})) << op;
    }
    // A null output function silences the library.
    int e = -1;
    EXPECT_NE(vifnet32_set_debug_output_func_ex(nullptr, &e), 0);
    vifnet32_close(kFd);
    EXPECT_EQ(errno, 9);
    EXPECT_TRUE(messages.Take().empty());
}

// Every accepted flag value is opened by OpenClose.InterfacesOnOneHostAdapterShareItUntilTheLastCloses, and each form of MAC
// text that does not parse is refused by the unit tests.
TEST(Open, ParametersThenGatewayTextAreCheckedWithTheirMessages) {
    CaptureMessages messages;
    const std::string pid = Hex8(ProcessId()), device = "Invalid gateway device from process " + pid + "\n";
    const std::pair<const char*, int> invalid[] = {
        {nullptr, 2}, {"", 2}, {"10.1.0.2", 3}, {"10.1.0.2", 4}, {"10.1.0.2", 0x10000002}, {"10.1.0.2", -1}};
    for (const auto& [gateway, flags] : invalid) {
        int e = 0;
        EXPECT_EQ(vifnet32_open_ex(gateway, flags, &e), -1);
        EXPECT_EQ(std::pair(e, LastError()), std::pair(22, 87u));
        EXPECT_EQ(messages.Take(), Lines{"** CVifnet32App::Open: Invalid parameters from process " + pid + "\n"}) << flags;
    }
    const std::string nullMac = "Invalid null/broadcast gateway MAC address\n";
    const std::pair<std::string, std::string> cases[] = {
        {"0.0.0.0", "Invalid null/broadcast gateway IP address\n"},
        {"255.255.255.255", device},  // no address by the parser, so read as a MAC
        {"00-00-00-00-00-00", nullMac},
        {"01:00:5E:00:00:01", nullMac},
        {"00:11:22-33:44:55", device},
        {"sim-lan-a", device},
        {"10.99.99.99", ""},
        {"02:00:00:00:00:99", ""},
    };
    for (const auto& [gateway, rest] : cases) {
        const unsigned code = rest.empty() ? 1168 : 87;
        const std::string first = rest.empty()
                                      ? "** CVifnet32App::CreateAdapter: adapter \"" + gateway + "\" not found; rc=1168: "
                                      : "** CVifnet32App::CreateAdapter(" + gateway + "): " + rest;
        EXPECT_EQ(vifnet32_open(gateway.c_str(), 2), -1) << gateway;
        EXPECT_EQ(Err(), std::pair(rest.empty() ? 2 : 22, code)) << gateway;
        EXPECT_TRUE(Begin(messages.Take(), {first, "** CVifnet32App::Open(" + gateway + "): CreateAdapter() failed for process " +
                                                       pid + "; rc=" + std::to_string(code) + ": "}));
    }
}

TEST(IOCtl, RequestsAreCheckedBeforeAnyInterfaceIsSought) {
    CaptureMessages messages;
    int e = 0;
    EXPECT_EQ(vifnet32_ioctl_ex(3, VIFNET32_SIOCGIFFLAGS, nullptr, &e), -1);
    EXPECT_EQ(e, 22);
    EXPECT_EQ(messages.Take(), Lines{"** CVifnet32::IOCtl: Invalid NULL parameter.\n"});

    vifnet32_ifreq req{};
    for (unsigned code : {0x400454CAu, 0x400454C9u, 0x800454CBu, 0x800454DFu, 0x400454E0u, 0x8912u}) {
        EXPECT_EQ(vifnet32_ioctl(3, static_cast<int>(code), &req), -1);
        EXPECT_EQ(Err(), std::pair(22, 87u));
        EXPECT_EQ(messages.Take(),
                  Lines{"** CVifnet32::IOCtl: Unknown ioctl request " + std::to_string(int(code)) + " (0x" + Hex8(code) + ")\n"});
    }
    // {request, protocol family, flags, hardware family}: each record wrong in one way.
    const int arps[][4] = {{VIFNET32_SIOCSARP, 2, 6, 0}, {VIFNET32_SIOCGRARP, 2, 4, 1}, {VIFNET32_SIOCDARP, 0, 4, 0}};
    for (const auto& [code, pa, flags, ha] : arps) {
        vifnet32_arpreq arp{};
        arp.arp_pa.sa_family = static_cast<uint16_t>(pa);
        arp.arp_ha.sa_family = static_cast<uint16_t>(ha);
        arp.arp_flags = flags;
        EXPECT_EQ(vifnet32_ioctl(-1, code, &arp), -1);
        EXPECT_EQ(errno, 22);
        EXPECT_EQ(messages.Take(), Lines{"** CVifnet32::IOCtl: Invalid SIOCxARP/SIOCxRARP parameters\n"});
    }

    // By name: nothing is named yet, so no interface can be found; likewise by descriptor.
    const std::string notFound =
        "** CVifnet32App::IOCtl: Failed to obtain VFPtr from map in process " + Hex8(ProcessId()) + "; rc=6: ";
    std::strcpy(req.ifr_name, "tun0");
    for (int code :
         {VIFNET32_SIOCGIFFLAGS, VIFNET32_SIOCSIFMTU, VIFNET32_SIOCGIFNAME, VIFNET32_TUNSETIFF, VIFNET32_IFCTL_GETSTATS}) {
        EXPECT_EQ(vifnet32_ioctl_ex(98765, code, &req, &e), -1);
        EXPECT_EQ(std::pair(e, LastError()), std::pair(9, 6u));
        EXPECT_TRUE(Begin(messages.Take(), {notFound}));
    }
    EXPECT_STREQ(req.ifr_name, "tun0");
}
