// One interface's settings as a caller changes them: defaults, value checks, the freeze while IFF_UP, change reports
// and dumps, the address tables and the statistics copy-out, on sim-lan-a (10.1.0.2/24) unless a case says otherwise.
#include <gtest/gtest.h>

#include "test_support.h"

using vtest::Lines;

namespace {

constexpr int kUp = VIFNET32_IFF_UP, kDebug = VIFNET32_IFF_DEBUG, kSettable = 0x0307;
using Mac = std::array<uint8_t, 6>;
using Ip = std::array<uint8_t, 4>;

// Classic requests (below 0x10000, apart from SIOCGIFNAME) find the interface by name, the TUN group by descriptor.
struct Rq {
    int code;
    vifnet32_ifreq rec{};
};
// A request whose record holds these bytes from offset `at` (both platforms are little-endian).
Rq Raw(int code, std::initializer_list<uint8_t> bytes, size_t at = 16) {
    Rq r{code};
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<uint8_t*>(&r.rec) + at);
    return r;
}
Rq Value(int code, uint32_t v) { return Raw(code, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
Rq Flags(int flags) { return Value(VIFNET32_SIOCSIFFLAGS, uint16_t(flags)); }
Rq Inet(int code, Ip ip, uint8_t family = 2) { return Raw(code, {family, 0, 0, 0, ip[0], ip[1], ip[2], ip[3]}); }
Rq Hw(int code, Mac m, uint8_t family = 1) { return Raw(code, {family, 0, m[0], m[1], m[2], m[3], m[4], m[5]}); }
Rq TarnIP(int code, Ip ip) { return Raw(code, {ip[0], ip[1], ip[2], ip[3]}, 0); }  // a bare in_addr

std::string IPText(const uint8_t* b) {
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string At(std::string text, const std::string& value, char mark) {
    for (auto pos = text.find(mark); pos != std::string::npos; pos = text.find(mark, pos + value.size()))
        text.replace(pos, 1, value);
    return text;
}

void ExpectPair(int err, unsigned code, const std::string& what) { EXPECT_EQ(vtest::Err(), std::pair(err, code)) << what; }

const char kBanner[] = "*** BEGIN TRACE *** for Vifnet interface ";

// One named TUN interface, collecting the library's messages.
class Iface : public vtest::Iface {
public:
    explicit Iface(int openFlags = VIFNET32_O_RDWR, const char* gateway = "10.1.0.2")
        : vtest::Iface(VIFNET32_IFF_TUN, openFlags, gateway) {}
    int Do(Rq r) const {
        if (r.code > 0 && r.code < 0x10000 && r.code != VIFNET32_SIOCGIFNAME) std::strcpy(r.rec.ifr_name, name.c_str());
        return vifnet32_ioctl(fd, r.code, &r.rec);
    }
    std::string IP(int code) const {
        auto rec = Get(code);
        EXPECT_EQ(rec.ifr_ifru.ifru_addr_in.sin_family, VIFNET32_AF_INET);
        return IPText(rec.ifr_ifru.ifru_addr_in.sin_addr);
    }
    Mac HwAddr() const {
        auto rec = Get(VIFNET32_SIOCGIFHWADDR);
        EXPECT_EQ(rec.ifr_hwaddr.sa_family, VIFNET32_ARPHRD_ETHER);
        Mac mac;
        std::memcpy(mac.data(), rec.ifr_hwaddr.sa_data, 6);
        return mac;
    }
    Lines Query() const {
        uint8_t a[4 * 34];
        std::memset(a, 0xAB, sizeof a);
        EXPECT_EQ(vifnet32_ioctl(fd, VIFNET32_IFCTL_QUERYTARNIPADDRS, a), 0);
        Lines list;
        size_t i = 0;
        for (; i < 33 && (a[4 * i] | a[4 * i + 1] | a[4 * i + 2] | a[4 * i + 3]); ++i)
            list.push_back(IPText(a + 4 * i));
        EXPECT_EQ(a[4 * i + 4], 0xAB) << "written past the terminator";
        return list;
    }
    Lines Take() { return messages.Take(); }
    // With IFF_DEBUG set: the whole state as printed, by setting the flags it already has.
    Lines Dump() {
        Take();
        EXPECT_EQ(Do(Flags(Get(VIFNET32_SIOCGIFFLAGS).ifr_flags & kSettable)), 0);
        return Take();
    }
    // Sets IFF_DEBUG (with the other flags given) and notes the interface's address in reports.
    void Trace(int flags = 0) {
        Take();
        EXPECT_EQ(Do(Flags(flags | kDebug)), 0);
        ptr = Take().at(1).substr(std::strlen(kBanner), 16);
    }
    // "<what> modified" by a setter or "<what> auto-updated" by the address rules.
    std::string Report(const std::string& what, const std::string& from, const std::string& to, const char* tail = "") const {
        return what + " for Vifnet interface " + ptr + ":\n  old value=" + from + ", new value=" + to + tail + "\n\n";
    }
    // A table's (or the flags') report: old and new on lines of their own.
    std::string ListReport(const std::string& what, const std::string& from, const std::string& to, const char* q = "\"") const {
        return what + " modified for Vifnet interface " + ptr + ":\n  old value=" + q + from + q + "\n  new value=" + q + to + q +
               "\n\n";
    }
    std::string Msg(const std::string& op, const std::string& s) const { return vtest::Iface::Msg(op, s) + "\n"; }

    vtest::CaptureMessages messages;
    std::string ptr;
};

}  // namespace

// Defaults show in the old values of the reports below and each getter is tried on a changed value.
TEST(Config, FreshInterfaceTakesItsValuesFromTheAdapter) {
    Iface vf(_O_VF32NOTIFY | VIFNET32_O_RDONLY, "02:11:22:33:44:55");
    EXPECT_EQ(vf.IP(VIFNET32_SIOCGIFADDR), "192.168.7.1");
    EXPECT_EQ(vf.HwAddr(), (Mac{2, 0, 0x5E, 0xA8, 7, 1}));
    // In notify mode a read timeout is accepted and ignored.
    vf.Trace();
    EXPECT_EQ(vf.Do(Value(VIFNET32_IFCTL_SETREADTIMEOUT, 250)), 0);
    EXPECT_EQ(vf.Take(),
              Lines{"Read Timeout ignored for Vifnet interface " + vf.ptr + ":\n  _O_VF32NOTIFY option in effect\n\n"});
    EXPECT_EQ(vf.Value(VIFNET32_IFCTL_GETREADTIMEOUT), 0u);
}

TEST(Config, FlagReportsTraceBannersAndTheDump) {
    Iface vf;
    for (uint8_t a : {7, 8})
        ASSERT_EQ(vf.Do(TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 1, 0, a})), 0);
    ASSERT_EQ(vf.Do(Hw(VIFNET32_SIOCADDMULTI, {1, 0, 0x5E, 0, 0, 1})), 0);
    ASSERT_EQ(vf.Do(Value(VIFNET32_SIOCSIFMTU, 1400)), 0);
    ASSERT_EQ(vf.Do(Flags(VIFNET32_IFF_BROADCAST)), 0);
    EXPECT_TRUE(vf.Take().empty()) << "nothing is reported without IFF_DEBUG";

    ASSERT_EQ(vf.Do(Flags(VIFNET32_IFF_BROADCAST | kDebug)), 0);
    auto lines = vf.Take();
    ASSERT_EQ(lines.size(), 7u);
    const std::string ptr = vf.ptr = lines[1].substr(std::strlen(kBanner), 16);
    const auto at = lines[5].find(" Adapter:     ");
    ASSERT_NE(at, std::string::npos);
    const std::string flags = "IFF_BROADCAST, IFF_DEBUG, IFF_RUNNING, IFF_MULTICAST";
    EXPECT_EQ(lines[0], vf.ListReport("Interface Flags", "IFF_BROADCAST, IFF_RUNNING, IFF_MULTICAST", flags, ""));
    EXPECT_EQ(lines[1], kBanner + ptr + "...\n\n");
    Lines dump = {
        "---------------- Internal variables ----------------\n\n Virtual Interface Ptr:           @\n"
        " Virtual Interface Name:          #\n Virtual Interface Type:          IFF_TUN\n Virtual Interface Flags:         $\n"
        " Host Physical MAC Address:       00-1A-2B-3C-4D-5E\n Tarn Virtual  MAC Address:       02-00-5E-81-00-02\n"
        " Tarn Virtual  Broadcast MAC:     FF-FF-FF-FF-FF-FF\n",
        " Host Physical IP Address:        10.1.0.2\n Tarn Virtual  IP Addresses:      10.1.0.7 10.1.0.8\n"
        " Tarn Virtual Network Mask:       255.255.255.0\n Tarn Virtual Broadcast IP Addr:  255.255.255.255\n"
        " MTU (Maximum Transmission Unit): 1400\n Write Buffer Size:               1414\n"
        " Read Buffer Size:                65536\n Socket Notify Mode:              no\n"
        " Read Timeout:                    5000 millisecs\n",
        " MAC Mode:                        auto (own in force)\n Multicast List:                  \"01-00-5E-00-00-01\"\n\n",
        "----------- Physical Adapter information -----------\n\n Adapter:     %\n AdapterName: sim-lan-a\n"
        " Description: sim-lan-a\n Connection:  sim-lan-a\n\n",
        " MAC Address: 00-1A-2B-3C-4D-5E\n Link Type:   NdisMedium802_3\n Link Speed:  0.0 Mbps\n"
        " IP Address:  10.1.0.2 (Mask: 255.255.255.0)\n Gateway IP:  0.0.0.0\n Buffer Size: 1048576\n\n"
        "-----------------------------------------------------\n\n"};
    for (auto& part : dump)
        part = At(At(At(At(part, ptr, '@'), vf.name, '#'), flags, '$'), lines[5].substr(at + 14, 16), '%');
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()), dump);

    // Debug kept: a report and a dump; going up also asks the adapter for its I/O buffer size.
    ASSERT_EQ(vf.Do(Flags(kSettable)), 0);
    lines = vf.Take();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0],
              vf.ListReport("Interface Flags", flags,
                            "IFF_UP, IFF_BROADCAST, IFF_DEBUG, IFF_RUNNING, IFF_PROMISC, IFF_ALLMULTI, IFF_MULTICAST", ""));
    EXPECT_EQ(lines[6], "** CVFAdapter(00-1A-2B-3C-4D-5E)::SetPacketsBufferSize: Requested DLL I/O buffer size = 65536 (64K)\n");
    EXPECT_EQ(vf.Get(VIFNET32_SIOCGIFFLAGS).ifr_flags, 0x1347);
    // Dropping IFF_DEBUG ends the trace; the report belongs to the new flags, which lack it.
    ASSERT_EQ(vf.Do(Flags(kUp)), 0);
    EXPECT_EQ(vf.Take(), Lines{"*** END TRACE *** (for Vifnet interface " + ptr + ")\n\n"});
    ASSERT_EQ(vf.Do(Flags(0)), 0);
    EXPECT_TRUE(vf.Take().empty());

    // Debug mask 0 silences the reports but not the banners and dumps.
    ASSERT_EQ(vf.Do(Value(VIFNET32_TUNSETDEBUG, 0)), 0);
    ASSERT_EQ(vf.Do(Flags(kDebug)), 0);
    lines = vf.Take();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], kBanner + ptr + "...\n\n");
    ASSERT_EQ(vf.Do(Value(VIFNET32_SIOCSIFMTU, 1500)), 0);  // the largest
    EXPECT_TRUE(vf.Take().empty());
}

TEST(Config, RefusedValuesAreReportedAndChangeNothing) {
    Iface vf;
    vf.Trace();
    const Lines before = vf.Dump();
    auto one = [&](const char* op, const std::string& a) { return Lines{vf.Msg(op, a)}; };
    auto two = [&](const char* op, const std::string& a, const std::string& b) { return Lines{vf.Msg(op, a), vf.Msg(op, b)}; };
    const std::string range = " outside of 64K - 16384K range", io = " outside of 16K - 1024K range";
    const std::string badMac = "Invalid null or broadcast MAC address:", badIp = "Invalid NULL or broadcast IP address";
    const std::string family = "Invalid address family specified:", hwFamily = "Invalid/unsupported address family specified";
    const std::pair<Rq, Lines> cases[] = {
        // The size in the message is rounded up to whole kilobytes.
        {Value(VIFNET32_IFCTL_SETDEVBUFSIZE, 65535), one("SetDeviceBufferSize", "KernelBuffSize of 64K" + range)},
        {Value(VIFNET32_IFCTL_SETDEVBUFSIZE, 16777217), one("SetDeviceBufferSize", "KernelBuffSize of 16385K" + range)},
        {Value(VIFNET32_IFCTL_SETIOBUFSIZE, 16383), one("SetIOBufferSize", "ReadBuffSize of 16383" + io)},
        {Value(VIFNET32_IFCTL_SETIOBUFSIZE, 1048577), one("SetIOBufferSize", "ReadBuffSize of 1048577" + io)},
        {Value(VIFNET32_IFCTL_SETREADTIMEOUT, ~1u), one("SetReadTimeout", "Illegal timeout value -2")},
        {Value(VIFNET32_IFCTL_SETREADTIMEOUT, 86400001), one("SetReadTimeout", "Illegal timeout value 86400001")},
        {Hw(VIFNET32_SIOCSIFHWADDR, {2, 0, 0x5E, 0x80, 0, 1}, 2),
         {vf.Msg("SetTarnVirtMACAddr", hwFamily + ":"), "** CVifnet::SetTarnVirtMACAddr: sa_family =  2\n"}},
        {Hw(VIFNET32_SIOCSIFHWADDR, {1, 0, 0x5E, 0, 0, 1}, 0),
         two("SetTarnVirtMACAddr", badMac, "sa_data was: 01-00-5E-00-00-01")},
        {Hw(VIFNET32_SIOCSIFHWADDR, {}), two("SetTarnVirtMACAddr", badMac, "sa_data was: 00-00-00-00-00-00")},
        {Hw(VIFNET32_SIOCSIFHWBROADCAST, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x1b),
         two("SetIFaceHWBroadcast", hwFamily, "sa_family = 1b")},
        {Hw(VIFNET32_SIOCSIFHWBROADCAST, {2, 0, 0, 0, 0, 1}),
         two("SetIFaceHWBroadcast", "Invalid null or non-broadcast MAC address:", "sa_data was: 02-00-00-00-00-01")},
        {Inet(VIFNET32_SIOCSIFADDR, {10, 1, 0, 2}, 1), two("SetHostPhysByIPAddr", family, "sin_family = 01")},
        {Inet(VIFNET32_SIOCSIFADDR, {10, 1, 0, 3}), two("SetHostPhysByIPAddr", "Invalid IP address:", "sin_addr = 10.1.0.3")},
        {Inet(VIFNET32_SIOCSIFNETMASK, {255, 0, 0, 0}, 0), two("SetIFaceNetMask", family, "sin_family = 00")},
        {Inet(VIFNET32_SIOCSIFNETMASK, {0, 0, 0, 0}), one("SetIFaceNetMask", "Invalid NULL IP netmask")},
        {Inet(VIFNET32_SIOCSIFBRDADDR, {10, 1, 0, 255}, 1), one("SetIFaceBroadcast", "Invalid address family specified")},
        {Inet(VIFNET32_SIOCSIFBRDADDR, {0, 0, 0, 0}), one("SetIFaceBroadcast", "Invalid NULL IP address")},
        {Value(VIFNET32_SIOCSIFMTU, 59), one("SetIFaceMTU", "MTU 59 outside allowable range of 60-1500")},
        {Value(VIFNET32_SIOCSIFMTU, 1501), one("SetIFaceMTU", "MTU 1501 outside allowable range of 60-1500")},
        {Inet(VIFNET32_SIOCSIFDSTADDR, {10, 1, 0, 9}, 1), two("SetTarnVirtIPAddr", family, "sin_family = 01")},
        {Inet(VIFNET32_SIOCSIFDSTADDR, {255, 255, 255, 255}), two("SetTarnVirtIPAddr", badIp, "sin_addr = 255.255.255.255")},
        {Inet(VIFNET32_SIOCSIFDSTADDR, {0, 0, 0, 0}), two("SetTarnVirtIPAddr", badIp, "sin_addr = 0.0.0.0")},
        {TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {0, 0, 0, 0}), two("AddTarnVirtIPAddr", badIp, "IN_ADDR = 0.0.0.0")},
        {TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {255, 255, 255, 255}),
         two("AddTarnVirtIPAddr", badIp, "IN_ADDR = 255.255.255.255")},
        {Hw(VIFNET32_SIOCADDMULTI, {0x33, 0x33, 0, 0, 0, 1}), one("AddMulticastAddr", "Not a multicast MAC")},
        {Hw(VIFNET32_SIOCDELMULTI, {1, 0, 0x5F, 0, 0, 1}), one("DelMulticastAddr", "Not a multicast MAC")},
        // The value SIOCGIFFLAGS returns is not one SIOCSIFFLAGS takes.
        {Flags(0x1040 | kDebug), one("SetIFaceFlags", "Invalid/unsupported flags")},
        {Flags(VIFNET32_IFF_LOOPBACK), one("SetIFaceFlags", "Invalid/unsupported flags")},
        {Raw(VIFNET32_IFCTL_SETMACMODE, {3}, 0), one("SetMacMode", "Illegal MAC mode 3 (0 auto, 1 own, 2 shared)")},
        {Raw(VIFNET32_IFCTL_SETMACMODE, {0xFF, 0xFF, 0xFF, 0xFF}, 0),
         one("SetMacMode", "Illegal MAC mode -1 (0 auto, 1 own, 2 shared)")},
    };
    for (const auto& [rq, expected] : cases) {
        const std::string what = std::to_string(rq.code) + " " + expected[0];
        EXPECT_EQ(vf.Do(rq), -1) << what;
        ExpectPair(22, 87, what);
        EXPECT_EQ(vf.Take(), expected) << what;
        EXPECT_EQ(vf.Dump(), before) << what;
    }
}

TEST(Config, FrozenSettingsWaitForTheInterfaceToGoDown) {
    Iface vf;
    vf.Trace(kUp);
    const std::string adapter = "** CVFAdapter(00-1A-2B-3C-4D-5E)::SetPacketsBufferSize: ";
    const std::tuple<const char*, Rq, Lines> cases[] = {
        {"SetDeviceBufferSize",
         Value(VIFNET32_IFCTL_SETDEVBUFSIZE, 65536),
         {vf.Report("Adapter Buffer Size modified", "1048576", "65536")}},
        {"SetIOBufferSize",
         Value(VIFNET32_IFCTL_SETIOBUFSIZE, 16384),
         {adapter + "Requested DLL I/O buffer size = 16384 (16K)\n", adapter + "Adjusting DLL I/O buffer size to 16384 (16K)\n",
          vf.Report("Read Buffer Size modified", "65536", "16384")}},
        {"SetReadTimeout", Value(VIFNET32_IFCTL_SETREADTIMEOUT, ~0u), {vf.Report("Read Timeout modified", "5000", "-1")}},
        {"SetTarnVirtMACAddr",
         Hw(VIFNET32_SIOCSIFHWADDR, {2, 0, 0x5E, 0x80, 0, 1}, 0),
         {vf.Report("Tarn Virtual MAC Address modified", "02-00-5E-81-00-02", "02-00-5E-80-00-01")}},
        {"SetIFaceHWBroadcast",
         Hw(VIFNET32_SIOCSIFHWBROADCAST, {1, 0, 0x5E, 0, 0, 0xFB}),
         {vf.Report("Interface Broadcast MAC Address modified", "FF-FF-FF-FF-FF-FF", "01-00-5E-00-00-FB")}},
        {"SetHostPhysByIPAddr",
         Inet(VIFNET32_SIOCSIFADDR, {10, 1, 0, 2}),
         {vf.Report("Host Physical IP Address modified", "10.1.0.2", "10.1.0.2")}},
        // The broadcast follows an explicit mask, with the host address while the Tarn list is empty.
        {"SetIFaceNetMask",
         Inet(VIFNET32_SIOCSIFNETMASK, {255, 255, 0, 0}),
         {vf.Report("Tarn Virtual Network Mask modified", "255.255.255.0", "255.255.0.0"),
          vf.Report("Tarn Virtual Broadcast IP Addr auto-updated", "255.255.255.255", "10.1.255.255")}},
        {"SetIFaceBroadcast",
         Inet(VIFNET32_SIOCSIFBRDADDR, {10, 1, 0, 255}),
         {vf.Report("Interface Broadcast IP Address modified", "10.1.255.255", "10.1.0.255")}},
        {"SetIFaceMTU", Value(VIFNET32_SIOCSIFMTU, 60), {vf.Report("MTU (Maximum Transmission Unit) modified", "1500", "60")}},
        {"SetMacMode", Raw(VIFNET32_IFCTL_SETMACMODE, {2}, 0), {vf.Report("MAC Mode modified", "auto", "shared")}},
        // MAC, mask and broadcast are all explicit by now: none follows the new address.
        {"SetTarnVirtIPAddr",
         Inet(VIFNET32_SIOCSIFDSTADDR, {10, 1, 0, 77}),
         {vf.ListReport("IP Address List", "", "10.1.0.77"),
          vf.Report("Tarn Virtual IP Address modified", "0.0.0.0", "10.1.0.77", "\n  all=10.1.0.77")}},
    };
    const Lines frozen = vf.Dump();
    for (const auto& [op, rq, report] : cases) {
        EXPECT_EQ(vf.Do(rq), -1) << op;
        ExpectPair(16, 170, op);
        EXPECT_EQ(vf.Take(), Lines{vf.Msg(op, "Interface is busy (already IFF_UP)")});
    }
    EXPECT_EQ(vf.Dump(), frozen);
    // Another host address is refused for its value before the busy test.
    EXPECT_EQ(vf.Do(Inet(VIFNET32_SIOCSIFADDR, {10, 1, 0, 3})), -1);
    ExpectPair(22, 87, "SIOCSIFADDR while up");
    vf.Take();

    // Not frozen: the flags, the debug mask and both address tables.
    const Mac group = {1, 0, 0x5E, 0x7F, 0xFF, 0xFA};
    const std::pair<Rq, std::string> unfrozen[] = {
        {TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 1, 0, 50}), vf.ListReport("IP Address List", "", "10.1.0.50")},
        {TarnIP(VIFNET32_IFCTL_DELTARNIPADDR, {10, 1, 0, 50}), vf.ListReport("IP Address List", "10.1.0.50", "")},
        {Hw(VIFNET32_SIOCADDMULTI, group), vf.ListReport("Multicast List", "", "01-00-5E-7F-FF-FA")},
        {Hw(VIFNET32_SIOCDELMULTI, group), vf.ListReport("Multicast List", "01-00-5E-7F-FF-FA", "")},
    };
    for (const auto& [rq, report] : unfrozen) {
        EXPECT_EQ(vf.Do(rq), 0) << report;
        EXPECT_EQ(vf.Take(), Lines{report});
    }
    EXPECT_EQ(vf.Do(Flags(kUp | kDebug | VIFNET32_IFF_PROMISC)), 0);
    EXPECT_EQ(vf.Get(VIFNET32_SIOCGIFFLAGS).ifr_flags, 0x1145);
    EXPECT_EQ(vf.Do(Value(VIFNET32_TUNSETDEBUG, 0x80000000u)), 0);

    ASSERT_EQ(vf.Do(Flags(kDebug)), 0);
    for (const auto& [op, rq, report] : cases) {
        vf.Take();
        EXPECT_EQ(vf.Do(rq), 0) << op;
        EXPECT_EQ(vf.Take(), report) << op;
    }
    EXPECT_EQ(vf.Value(VIFNET32_IFCTL_GETREADTIMEOUT), ~0u);
}

// Shared mode on a wired adapter, in force: the end-to-end and host-forwarding tests.
TEST(Config, MacModeSaysWhichModeIsInForceAndWhy) {
    const int kAuto = VIFNET32_MACMODE_AUTO, kOwn = VIFNET32_MACMODE_OWN, kWireless = VIFNET32_MACMODE_F_WIRELESS;
    // The adapter, the mode set (-1: left at its default) and the mode reported.
    const std::tuple<const char*, int, int> cases[] = {{"10.1.0.2", -1, kAuto},
                                                       {"10.5.0.2", -1, kAuto | VIFNET32_MACMODE_F_SHARED_IN_FORCE | kWireless},
                                                       {"10.5.0.2", kOwn, kOwn | kWireless}};
    for (const auto& [gateway, set, reported] : cases) {
        Iface vf(VIFNET32_O_RDWR, gateway);
        if (set >= 0) {
            ASSERT_EQ(vf.Do(Raw(VIFNET32_IFCTL_SETMACMODE, {uint8_t(set)}, 0)), 0);
        }
        int mode = -1;
        ASSERT_EQ(vifnet32_ioctl(vf.fd, VIFNET32_IFCTL_GETMACMODE, &mode), 0);
        EXPECT_EQ(mode, reported) << gateway << " " << set;
    }
}

TEST(Config, GuestAddressCarriesMacMaskAndBroadcastAlong) {
    {
        Iface vf;
        vf.Trace();
        ASSERT_EQ(vf.Do(Inet(VIFNET32_SIOCSIFDSTADDR, {10, 1, 0, 77})), 0);
        // The MAC follows before the address is added, which announces it.
        EXPECT_EQ(vf.Take(), (Lines{vf.Report("Tarn Virtual MAC Address auto-updated", "02-00-5E-81-00-02", "02-00-5E-81-00-4D"),
                                    vf.ListReport("IP Address List", "", "10.1.0.77"),
                                    vf.Report("Tarn Virtual IP Address modified", "0.0.0.0", "10.1.0.77", "\n  all=10.1.0.77"),
                                    vf.Report("Tarn Virtual Network Mask auto-updated", "255.255.255.0", "255.255.255.0"),
                                    vf.Report("Tarn Virtual Broadcast IP Addr auto-updated", "255.255.255.255", "10.1.0.255")}));
        // Off the host's subnet only the MAC follows.
        ASSERT_EQ(vf.Do(Inet(VIFNET32_SIOCSIFDSTADDR, {10, 9, 0, 5})), 0);
        const auto lines = vf.Take();
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], vf.Report("Tarn Virtual MAC Address auto-updated", "02-00-5E-81-00-4D", "02-00-5E-89-00-05"));
        EXPECT_EQ(vf.IP(VIFNET32_SIOCGIFNETMASK), "255.255.255.0");
        EXPECT_EQ(vf.IP(VIFNET32_SIOCGIFBRDADDR), "10.1.0.255");
        EXPECT_EQ(vf.Query(), Lines{"10.9.0.5"});
    }
    // An explicit value stops its own update; an explicit mask also keeps the broadcast.
    const std::tuple<Rq, Mac, std::string, std::string> cases[] = {
        {Hw(VIFNET32_SIOCSIFHWADDR, {2, 0, 0, 0, 0, 9}), {2, 0, 0, 0, 0, 9}, "255.255.255.0", "10.1.0.255"},
        {Inet(VIFNET32_SIOCSIFNETMASK, {255, 255, 0, 0}), {2, 0, 0x5E, 0x81, 0, 0x4D}, "255.255.0.0", "10.1.255.255"},
        {Inet(VIFNET32_SIOCSIFBRDADDR, {10, 1, 0, 127}), {2, 0, 0x5E, 0x81, 0, 0x4D}, "255.255.255.0", "10.1.0.127"},
    };
    for (const auto& [explicitly, mac, mask, broadcast] : cases) {
        Iface vf;
        ASSERT_EQ(vf.Do(explicitly), 0);
        ASSERT_EQ(vf.Do(Inet(VIFNET32_SIOCSIFDSTADDR, {10, 1, 0, 77})), 0);
        EXPECT_EQ(vf.HwAddr(), mac) << explicitly.code;
        EXPECT_EQ(vf.IP(VIFNET32_SIOCGIFNETMASK), mask) << explicitly.code;
        EXPECT_EQ(vf.IP(VIFNET32_SIOCGIFBRDADDR), broadcast) << explicitly.code;
    }
}

TEST(Config, AddressTables) {
    Iface vf;
    vf.Trace();
    for (uint8_t a : {1, 2})
        ASSERT_EQ(vf.Do(TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 1, 0, a})), 0);
    ASSERT_EQ(vf.Do(Inet(VIFNET32_SIOCSIFDSTADDR, {10, 1, 0, 3})), 0);
    EXPECT_EQ(vf.Query(), (Lines{"10.1.0.2", "10.1.0.3"}));
    EXPECT_EQ(vf.IP(VIFNET32_SIOCGIFDSTADDR), "10.1.0.2");
    vf.Take();
    // Deleting an absent address and re-adding a present one succeed without a report.
    EXPECT_EQ(vf.Do(TarnIP(VIFNET32_IFCTL_DELTARNIPADDR, {10, 1, 0, 1})), 0);
    EXPECT_EQ(vf.Do(TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 1, 0, 2})), 0);
    EXPECT_TRUE(vf.Take().empty());
    Lines ips = vf.Query();
    EXPECT_EQ(ips, (Lines{"10.1.0.3", "10.1.0.2"}));

    const Mac first = {1, 0, 0x5E, 0x7F, 0xFF, 0xFA}, other = {1, 0, 0x5E, 1, 1, 1};
    ASSERT_EQ(vf.Do(Hw(VIFNET32_SIOCADDMULTI, first)), 0);
    std::string macs = "01-00-5E-7F-FF-FA";
    for (uint8_t i = 1; i < 32; ++i) {
        if (ips.size() < 32) {
            ASSERT_EQ(vf.Do(TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 2, 0, i})), 0);
            ips.push_back("10.2.0." + std::to_string(i));
        }
        ASSERT_EQ(vf.Do(Hw(VIFNET32_SIOCADDMULTI, {1, 0, 0x5E, 0, 0, i}, 0)), 0);
        macs += " 01-00-5E-00-00-" + vtest::Hex8(i).substr(6);
    }
    const std::tuple<Rq, int, unsigned, std::string> cases[] = {
        {TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 3, 0, 1}), 28, 68, vf.Msg("AddTarnVirtIPAddr", "Table is full (max=32)")},
        // A duplicate is one whatever its family, and is found before the table is full.
        {Hw(VIFNET32_SIOCADDMULTI, first, 7), 17, 183, vf.Msg("AddMulticastAddr", "MAC already in table")},
        {Hw(VIFNET32_SIOCADDMULTI, other), 28, 68, vf.Msg("AddMulticastAddr", "Table is full (max=32)")},
        {Hw(VIFNET32_SIOCDELMULTI, other), 2, 2, vf.Msg("DelMulticastAddr", "MAC not in table")},
    };
    const Lines before = vf.Dump();
    EXPECT_NE(before[3].find("\"" + macs + "\""), std::string::npos) << before[3];
    for (const auto& [rq, err, code, message] : cases) {
        EXPECT_EQ(vf.Do(rq), -1) << message;
        ExpectPair(err, code, message);
        EXPECT_EQ(vf.Take(), Lines{message});
        EXPECT_EQ(vf.Dump(), before);
    }
    // A full table still takes a known address, to its end.
    EXPECT_EQ(vf.Do(TarnIP(VIFNET32_IFCTL_ADDTARNIPADDR, {10, 1, 0, 3})), 0);
    std::rotate(ips.begin(), ips.begin() + 1, ips.end());
    EXPECT_EQ(vf.Query(), ips);
    ASSERT_EQ(vf.Do(Hw(VIFNET32_SIOCDELMULTI, first, 0)), 0);
    EXPECT_NE(vf.Dump()[3].find("\"" + macs.substr(18) + "\""), std::string::npos);
}

// Request and export copy through one routine: sizes by the request, refusals by both.
TEST(Config, StatisticsAreCopiedToTheCallersSize) {
    Iface vf;
    ASSERT_EQ(vf.Do(Value(VIFNET32_IFCTL_SETIOBUFSIZE, 1048576)), 0);
    alignas(8) uint8_t buf[200];
    for (uint32_t size : {8u, 200u}) {
        std::memset(buf, 0xCD, sizeof buf);
        std::memcpy(buf, &size, 4);
        ASSERT_EQ(vifnet32_ioctl(vf.fd, VIFNET32_IFCTL_GETSTATS, buf), 0);
        uint32_t field[3];
        std::memcpy(field, buf, sizeof field);
        EXPECT_EQ(field[0], std::min(size, 136u));
        EXPECT_EQ(field[1], 1048576u);
        EXPECT_EQ(field[2], size == 8 ? 0xCDCDCDCDu : 1048576u);
        // A short record keeps what follows it; a long one gets zero counters and zeros after.
        for (size_t i = 12; i < sizeof buf; ++i)
            ASSERT_EQ(buf[i], size == 8 ? 0xCD : 0) << size << " byte " << i;
    }
    // No size, or one no record has (an uninitialised field, say): refused before anything is written.
    const std::string export_ = "** CVifnet32App::GetVifnetStats: !pStats || !pStats->dwStructSize for " + vf.name +
                                " from process " + vtest::Hex8(vtest::ProcessId()) + "; rc=87: ";
    for (const auto& [size, message] : {std::pair{0u, "pStats is NULL or pStats->dwStructSize is zero"},
                                        {VIFNET32_MAX_STATS_SIZE + 1u, "pStats->dwStructSize 4097 too large"}}) {
        std::memset(buf, 0xCD, sizeof buf);
        std::memcpy(buf, &size, 4);
        EXPECT_EQ(vifnet32_ioctl(vf.fd, VIFNET32_IFCTL_GETSTATS, buf), -1);
        ExpectPair(22, 87, message);
        EXPECT_EQ(vf.Take(), Lines{vf.Msg("GetStats", message)});
        EXPECT_EQ(vifnet32_get_stats(vf.fd, reinterpret_cast<VIFNET32_STATS*>(buf)), -1);
        ExpectPair(22, 87, message);
        EXPECT_TRUE(vtest::Begin(vf.Take(), {size ? "" : export_}));
        EXPECT_EQ(buf[4], 0xCD);
    }
    EXPECT_EQ(vifnet32_get_stats(vf.fd, nullptr), -1);
    EXPECT_EQ(vf.Take().size(), 1u);
}

TEST(Config, DriverBufferSizeReachesTheDriverOrReportsItsError) {
    Iface vf;
    WrenSimFail(WRENSIM_OP_SET_BUFF, 0, 1, 5, 31);
    EXPECT_EQ(vf.Do(Value(VIFNET32_IFCTL_SETDEVBUFSIZE, 131072)), -1);
    ExpectPair(5, 31, "forced driver failure");
    WrenSimFail(WRENSIM_OP_SET_BUFF, 0, 0, 0, 0);
    const auto lines = vf.Take();
    const std::string driver = "** CVFAdapter(00-1A-2B-3C-4D-5E)::SetAdapterBufferSize: WrenPackSetBuff(131072) failed; rc=31: ";
    const std::string iface = "** CVifnet(" + vf.name + ")::SetDeviceBufferSize: SetAdapterBufferSize(131072) failed; rc=31: ";
    ASSERT_TRUE(vtest::Begin(lines, {driver, iface}));
    EXPECT_EQ(lines[0].substr(driver.size()), lines[1].substr(iface.size())) << "the same error text";
    EXPECT_EQ(vf.Value(VIFNET32_IFCTL_GETDEVBUFSIZE), 1048576u);

    for (uint32_t size : {65536u, 16777216u, 262144u}) {
        EXPECT_EQ(vf.Do(Value(VIFNET32_IFCTL_SETDEVBUFSIZE, size)), 0);
        EXPECT_EQ(WrenSimGetBuff(u"sim-lan-a"), size);
        EXPECT_EQ(vf.Value(VIFNET32_IFCTL_GETDEVBUFSIZE), size);
    }
    EXPECT_EQ(vf.Stats().dwKernelBuffSize, 262144u);
    EXPECT_TRUE(vf.Take().empty());
}
