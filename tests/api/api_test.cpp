// The library as a caller sees it: the exports, the public header and the error pairs.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "test_support.h"

extern "C" int vifnet32_header_c_check(void);

using vtest::CaptureMessages;
using vtest::Hex8;
using vtest::LastError;
using vtest::StartsWith;

namespace {

std::string Failure(const std::string& cls_op, const std::string& rest) { return "** " + cls_op + ": " + rest; }

}  // namespace

TEST(Header, RecordsHaveTheirSizesInC) { EXPECT_EQ(vifnet32_header_c_check(), 0); }

TEST(Version, NumbersTextAndCopyright) {
    int major = -1, release = -1, build = -1, e = -1;
    vifnet32_version_numbers_ex(&major, nullptr, &release, &build, &e);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(release, 0);
    EXPECT_EQ(build, 5409);
    EXPECT_EQ(e, 0);

    errno = 5;
    EXPECT_STREQ(vifnet32_version_string(), "3.7.0.5409-U");
    EXPECT_EQ(errno, 0);
    e = -1;
    EXPECT_STREQ(vifnet32_version_string_ex(&e), "3.7.0.5409-U");
    EXPECT_EQ(e, 0);
    const char* copyright = vifnet32_copyright_string_ex(&e);
    ASSERT_NE(copyright, nullptr);
    EXPECT_NE(std::string(copyright).find("Quillmark"), std::string::npos);
    EXPECT_EQ(e, 0);
}

TEST(Checksums, InternetChecksumIsTheComplementForEveryInput) {
    EXPECT_EQ(vifnet32_calc_checksum("abc", 3), 0xC462);
    EXPECT_EQ(vifnet32_calc_inet_checksum("abc", 3), 0x3B9D);
    std::mt19937 rng(7);
    std::vector<uint8_t> data(2000);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    for (int len : {0, 1, 2, 3, 19, 20, 21, 127, 128, 129, 1499, 1500, 2000}) {
        for (int offset : {0, 1, 3}) {
            if (offset + len > 2000) continue;
            const uint8_t* p = data.data() + offset;
            unsigned short sum = vifnet32_calc_checksum(p, len);
            EXPECT_EQ(vifnet32_calc_inet_checksum(p, len), static_cast<unsigned short>(~sum)) << len << "+" << offset;
            EXPECT_EQ(vifnet32_calc_inet_checksum_ex(p, len, nullptr), static_cast<unsigned short>(~sum));
        }
    }
}

TEST(TarnMac, BuiltFromTheAddress) {
    unsigned char mac[6] = {};
    const unsigned char ip[4] = {192, 168, 1, 10};
    vifnet32_build_tarn_iface_mac(mac, ip);
    const unsigned char expected[6] = {0x02, 0x00, 0x5E, 0xA8, 0x01, 0x0A};
    EXPECT_EQ(0, std::memcmp(mac, expected, 6));
    const unsigned char ip2[4] = {10, 0, 0, 5};
    int e = -1;
    vifnet32_build_tarn_iface_mac_ex(mac, ip2, &e);
    const unsigned char expected2[6] = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x05};
    EXPECT_EQ(0, std::memcmp(mac, expected2, 6));
}

TEST(SocketPair, ArgumentsCheckedInOrderWithSocketsErrorNumbers) {
    CaptureMessages messages;
    struct Case {
        int domain, type, protocol, error;
    } cases[] = {{23, 2, 0, 10047}, {2, 2, 0, 10043}, {2, 1, 6, 10041}, {2, 1, 17, 10041}};
    for (const auto& c : cases) {
        int sv[2] = {5, 5};
        EXPECT_EQ(vifnet32_socketpair(c.domain, c.type, c.protocol, sv), -1);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(sv[0], -1);
        EXPECT_EQ(sv[1], -1);
        int e = 0;
        EXPECT_EQ(vifnet32_socketpair_ex(c.domain, c.type, c.protocol, sv, &e), -1);
        EXPECT_EQ(e, c.error);
    }
    EXPECT_TRUE(messages.Take().empty());
}

TEST(SocketPair, EndsAreConnectedBothWays) {
    int first[2], second[2];
    ASSERT_EQ(vifnet32_socketpair(2, 1, 0, first), 0);
    ASSERT_EQ(vifnet32_socketpair(2, 1, 0, second), 0);
    EXPECT_NE(first[0], first[1]);
    EXPECT_NE(first[0], second[0]);
    char buf[8] = {};
    ASSERT_EQ(vtest::SendBytes(first[0], "12345678", 8), 8);
    ASSERT_EQ(vtest::SendBytes(second[0], "abcdefgh", 8), 8);
    ASSERT_EQ(vtest::RecvBytes(first[1], buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "12345678");
    ASSERT_EQ(vtest::SendBytes(first[1], "back", 4), 4);
    ASSERT_EQ(vtest::RecvBytes(first[0], buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "back");
    ASSERT_EQ(vtest::RecvBytes(second[1], buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    for (int s : {first[0], first[1], second[0], second[1]})
        vtest::CloseSocket(s);
}

TEST(Descriptors, EveryCallOnAnUnknownDescriptorFailsOnceWithEBADF) {
    CaptureMessages messages;
    const int fd = 123457;
    VIFNET32_STATS stats{};
    stats.dwStructSize = sizeof stats;
    char buf[64] = {};
    struct Call {
        const char* op;
        int (*run)(int fd, void* buf, VIFNET32_STATS* stats, int* e);
    } calls[] = {
        {"Close", [](int f, void*, VIFNET32_STATS*, int* e) { return e ? vifnet32_close_ex(f, e) : vifnet32_close(f); }},
        {"Read",
         [](int f, void* b, VIFNET32_STATS*, int* e) { return e ? vifnet32_read_ex(f, b, 64, e) : vifnet32_read(f, b, 64); }},
        {"Write",
         [](int f, void* b, VIFNET32_STATS*, int* e) { return e ? vifnet32_write_ex(f, b, 60, e) : vifnet32_write(f, b, 60); }},
        {"BegMultiWrite", [](int f, void*, VIFNET32_STATS*,
                             int* e) { return e ? vifnet32_beg_write_multi_ex(f, 4096, e) : vifnet32_beg_write_multi(f, 4096); }},
        {"EndMultiWrite", [](int f, void*, VIFNET32_STATS*,
                             int* e) { return e ? vifnet32_end_write_multi_ex(f, e) : vifnet32_end_write_multi(f); }},
        {"GetVifnetStats",
         [](int f, void*, VIFNET32_STATS* s, int* e) { return e ? vifnet32_get_stats_ex(f, s, e) : vifnet32_get_stats(f, s); }},
    };
    const std::string tail = "GetVFPtrFromfd(123457) failed for process " + Hex8(vtest::ProcessId()) + "; rc=6: ";
    for (const auto& call : calls) {
        errno = 0;
        EXPECT_EQ(call.run(fd, buf, &stats, nullptr), -1) << call.op;
        EXPECT_EQ(errno, 9) << call.op;
        EXPECT_EQ(LastError(), 6u) << call.op;
        int e = 0;
        EXPECT_EQ(call.run(fd, buf, &stats, &e), -1) << call.op;
        EXPECT_EQ(e, 9) << call.op;
        auto lines = messages.Take();
        ASSERT_EQ(lines.size(), 2u) << call.op;
        EXPECT_TRUE(StartsWith(lines[0], Failure(std::string("CVifnet32App::") + call.op, tail))) << lines[0];
        EXPECT_EQ(lines[0].back(), '\n');
        EXPECT_EQ(lines[0], lines[1]);
    }
}

TEST(DebugOutput, InstalledFunctionGetsEachMessageOnceAndNullSilences) {
    {
        CaptureMessages messages;
        vifnet32_close(424242);
        auto lines = messages.Take();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(StartsWith(lines[0], "** CVifnet32App::Close: GetVFPtrFromfd(424242"));
    }
    int e = -1;
    EXPECT_NE(vifnet32_set_debug_output_func_ex(nullptr, &e), 0);
    vifnet32_close(424242);
    EXPECT_EQ(errno, 9);
    EXPECT_TRUE(vtest::Messages::Instance().Take().empty());
}

TEST(Open, InvalidParametersAreRefusedBeforeAnyLookup) {
    CaptureMessages messages;
    const std::string expected = "** CVifnet32App::Open: Invalid parameters from process " + Hex8(vtest::ProcessId()) + "\n";
    struct Case {
        const char* gateway;
        int flags;
    } cases[] = {{nullptr, 2}, {"", 2}, {"10.1.0.2", 3}, {"10.1.0.2", 4}, {"10.1.0.2", 0x10000002}, {"10.1.0.2", -1}};
    for (const auto& c : cases) {
        int e = 0;
        EXPECT_EQ(vifnet32_open_ex(c.gateway, c.flags, &e), -1);
        EXPECT_EQ(e, 22);
        EXPECT_EQ(LastError(), 87u);
        EXPECT_EQ(messages.Take(), std::vector<std::string>{expected}) << c.flags;
    }
    // Every accepted flag combination gets past the checks, to the adapter lookup.
    for (int flags : {0, 1, 2, 0x08000000, 0x08000001, 0x08000002}) {
        int e = 0;
        EXPECT_EQ(vifnet32_open_ex("10.99.99.99", flags, &e), -1);
        EXPECT_EQ(e, 2) << flags;
        messages.Take();
    }
}

TEST(Open, GatewayTextFormsAndTheirMessages) {
    CaptureMessages messages;
    const std::string pid = Hex8(vtest::ProcessId());
    struct Case {
        const char* gateway;
        int error;
        unsigned code;
        std::string first;
    } cases[] = {
        {"0.0.0.0", 22, 87, "** CVifnet32App::CreateAdapter(0.0.0.0): Invalid null/broadcast gateway IP address\n"},
        {"255.255.255.255", 22, 87,
         "** CVifnet32App::CreateAdapter(255.255.255.255): Invalid gateway device from process " + pid + "\n"},
        {"00-00-00-00-00-00", 22, 87,
         "** CVifnet32App::CreateAdapter(00-00-00-00-00-00): Invalid null/broadcast gateway MAC address\n"},
        {"01:00:5E:00:00:01", 22, 87,
         "** CVifnet32App::CreateAdapter(01:00:5E:00:00:01): Invalid null/broadcast gateway MAC address\n"},
        {"FF-FF-FF-FF-FF-FF", 22, 87,
         "** CVifnet32App::CreateAdapter(FF-FF-FF-FF-FF-FF): Invalid null/broadcast gateway MAC address\n"},
        {"00:11:22-33:44:55", 22, 87,
         "** CVifnet32App::CreateAdapter(00:11:22-33:44:55): Invalid gateway device from process " + pid + "\n"},
        {"00:11:22:33:44:5", 22, 87,
         "** CVifnet32App::CreateAdapter(00:11:22:33:44:5): Invalid gateway device from process " + pid + "\n"},
        {"sim-lan-a", 22, 87, "** CVifnet32App::CreateAdapter(sim-lan-a): Invalid gateway device from process " + pid + "\n"},
        {"10.99.99.99", 2, 1168, "** CVifnet32App::CreateAdapter: adapter \"10.99.99.99\" not found; rc=1168: "},
        {"02:00:00:00:00:99", 2, 1168, "** CVifnet32App::CreateAdapter: adapter \"02:00:00:00:00:99\" not found; rc=1168: "},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(vifnet32_open(c.gateway, 2), -1) << c.gateway;
        EXPECT_EQ(errno, c.error) << c.gateway;
        EXPECT_EQ(LastError(), c.code) << c.gateway;
        auto lines = messages.Take();
        ASSERT_EQ(lines.size(), 2u) << c.gateway;
        EXPECT_TRUE(StartsWith(lines[0], c.first)) << lines[0];
        EXPECT_TRUE(StartsWith(lines[1], std::string("** CVifnet32App::Open(") + c.gateway +
                                             "): CreateAdapter() failed for process " + pid + "; rc=" + std::to_string(c.code) +
                                             ": "))
            << lines[1];
    }
}

TEST(DefaultIface, FirstAdapterUnlessTheProfileNamesAnother) {
    CaptureMessages messages;
    errno = 7;
    EXPECT_STREQ(vifnet32_get_default_iface(), "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(LastError(), 0u);

    vtest::SetDefaultIFace("192.168.7.1");
    int e = -1;
    EXPECT_STREQ(vifnet32_get_default_iface_ex(&e), "02-11-22-33-44-55");
    EXPECT_EQ(e, 0);
    vtest::SetDefaultIFace("02:11:22:33:44:55");
    EXPECT_STREQ(vifnet32_get_default_iface(), "02-11-22-33-44-55");
    // An address no adapter has: the first adapter, quietly.
    vtest::SetDefaultIFace("10.9.9.9");
    EXPECT_STREQ(vifnet32_get_default_iface(), "00-1A-2B-3C-4D-5E");
    EXPECT_TRUE(messages.Take().empty());
    // Neither an address nor a MAC: the first adapter, with a warning.
    vtest::SetDefaultIFace("abc");
    EXPECT_STREQ(vifnet32_get_default_iface(), "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(messages.Take(),
              std::vector<std::string>{
                  "** GetDefaultWPAdapterInfo: WARNING: DefaultIFace \"abc\" is neither an IP nor a MAC address!\n"});
    vtest::SetDefaultIFace("");
}

TEST(IOCtl, RequestsAreCheckedBeforeAnyInterfaceIsSought) {
    CaptureMessages messages;
    int e = 0;
    EXPECT_EQ(vifnet32_ioctl_ex(3, VIFNET32_SIOCGIFFLAGS, nullptr, &e), -1);
    EXPECT_EQ(e, 22);
    EXPECT_EQ(messages.Take(), std::vector<std::string>{"** CVifnet32::IOCtl: Invalid NULL parameter.\n"});

    vifnet32_ifreq req{};
    for (unsigned code : {0x400454CAu, 0x400454C9u, 0x800454CBu, 0x800454DFu, 0x400454E0u, 0x8912u}) {
        EXPECT_EQ(vifnet32_ioctl(3, static_cast<int>(code), &req), -1);
        EXPECT_EQ(errno, 22);
        EXPECT_EQ(LastError(), 87u);
        char expected[96];
        std::snprintf(expected, sizeof expected, "** CVifnet32::IOCtl: Unknown ioctl request %d (0x%08X)\n",
                      static_cast<int>(code), code);
        EXPECT_EQ(messages.Take(), std::vector<std::string>{expected});
    }

    vifnet32_arpreq arp{};
    arp.arp_pa.sa_family = 2;
    arp.arp_flags = 6;
    const std::vector<std::string> arpMessage{"** CVifnet32::IOCtl: Invalid SIOCxARP/SIOCxRARP parameters\n"};
    EXPECT_EQ(vifnet32_ioctl(-1, VIFNET32_SIOCSARP, &arp), -1);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(messages.Take(), arpMessage);
    arp.arp_flags = 4;
    arp.arp_ha.sa_family = 1;
    EXPECT_EQ(vifnet32_ioctl(-1, VIFNET32_SIOCGRARP, &arp), -1);
    EXPECT_EQ(messages.Take(), arpMessage);
    arp.arp_ha.sa_family = 0;
    arp.arp_pa.sa_family = 0;
    EXPECT_EQ(vifnet32_ioctl(-1, VIFNET32_SIOCDARP, &arp), -1);
    EXPECT_EQ(messages.Take(), arpMessage);

    // By name: nothing is named yet, so no interface can be found; likewise by descriptor.
    const std::string notFound =
        "** CVifnet32App::IOCtl: Failed to obtain VFPtr from map in process " + Hex8(vtest::ProcessId()) + "; rc=6: ";
    std::strcpy(req.ifr_name, "tun0");
    for (int code :
         {VIFNET32_SIOCGIFFLAGS, VIFNET32_SIOCSIFMTU, VIFNET32_SIOCGIFNAME, VIFNET32_TUNSETIFF, VIFNET32_IFCTL_GETSTATS}) {
        EXPECT_EQ(vifnet32_ioctl_ex(98765, code, &req, &e), -1);
        EXPECT_EQ(e, 9);
        EXPECT_EQ(LastError(), 6u);
        auto lines = messages.Take();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(StartsWith(lines[0], notFound)) << lines[0];
    }
    EXPECT_STREQ(req.ifr_name, "tun0");
}
