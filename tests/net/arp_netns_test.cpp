// The host ARP-table services on a real neighbour table: on Linux, network namespaces of the
// program's own joined by a veth pair, whose far end's kernel answers ARP; under Wine, Wine's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "api/test_support.h"
#include "app/vifnet32_app.h"
#include "platform/iphelper.h"
#include "trace/trace.h"
#include "wrensim.h"

#if !defined(_WIN32)
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>
#endif

namespace {

// The host end of the link, which is also the simulated host adapter; addresses nobody answers.
const std::uint8_t kHostMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x01}, kHostIP[4] = {10, 211, 7, 1};
const std::uint8_t kLoopbackIP[4] = {127, 0, 0, 9}, kUnroutedIP[4] = {203, 0, 113, 5};
unsigned g_hostIndex = 0;  // of the host end, once the link is up

using Bytes = std::vector<std::uint8_t>;
Bytes B(const std::uint8_t* p, std::size_t n) { return {p, p + n}; }
std::pair<int, DWORD> Pair() { return {plat::GetErrno(), plat::GetLastErrorCode()}; }
const std::pair<int, DWORD> kNotFound{VF_ENOENT, VF_ERROR_NOT_FOUND};
CNeighbours& Neighbours() { return theApp.GetNeighbours(); }

std::vector<std::string> g_lines;
std::vector<std::string> TakeLines() { return std::exchange(g_lines, {}); }

void BuildLink();

// The host adapter's index: the host end's, else 1 (the last resort of an entry's interface).
class Host : public testing::Environment {
public:
    void SetUp() override {
        BuildLink();
        trace::g_pfnPrintDebugString.store(+[](const char* text) { g_lines.emplace_back(text); });
        const std::uint8_t noMask[4] = {};
        ADAPTER_INFO_LIST_ENTRY entry = vtest::MakeAdapter(u"sim-arp", kHostMAC, kHostIP, noMask);
        entry.nIfIndex = g_hostIndex ? g_hostIndex : 1;
        WrenSimReset();
        ASSERT_TRUE(WrenSimAddAdapter(&entry));
    }
    void TearDown() override { trace::g_pfnPrintDebugString.store(nullptr); }
};
const auto* const g_host = testing::AddGlobalTestEnvironment(new Host);

// A TUN interface on the host adapter, or -1.
int OpenTun() {
    const int fd = theApp.Open("10.211.7.1", 2);
    vifnet32_ifreq req{};
    req.ifr_flags = VIFNET32_IFF_TUN;
    return fd >= 0 && theApp.IOCtl(fd, VIFNET32_TUNSETIFF, &req) == 0 ? fd : -1;
}

#if !defined(_WIN32)

bool Sh(const std::string& command) { return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0; }
// Whether `ip neigh show ARGS` prints a line with the text.
bool Neigh(const std::string& args, const char* text = ".") { return Sh("ip neigh show " + args + " | grep -q '" + text + "'"); }

std::string g_skip = "the network namespaces were not set up";  // why the link-bound tests skip

// Each namespace belongs to a thread of this program (the peer's only waits): both vanish with it.
void BuildLink() {
    if (geteuid() != 0 || !Sh("ip -V && nsenter --version")) return void(g_skip = "not root, or ip or nsenter missing");
    std::promise<pid_t> holder;
    std::future<pid_t> peerTid = holder.get_future();
    std::thread([p = std::move(holder)]() mutable {
        p.set_value(unshare(CLONE_NEWNET) == 0 ? gettid() : -1);
        pause();
    }).detach();
    const std::string peer = std::to_string(peerTid.get());
    if (peer == "-1" || unshare(CLONE_NEWNET) != 0) return;
    // No IPv6 on the link: the only frames on it are the ones the tests cause.
    std::ofstream("/proc/sys/net/ipv6/conf/default/disable_ipv6") << "1\n";
    if (Sh("ip link set lo up && ip link add vfarp0 address 02:00:00:aa:00:01 type veth peer name vfarp1 netns " + peer) &&
        Sh("ip addr add 10.211.7.1/24 dev vfarp0 && ip link set vfarp0 up && nsenter -t " + peer + " -n sh -c 'ip link set " +
           "vfarp1 address 02:00:00:aa:00:02 && ip addr add 10.211.7.2/24 dev vfarp1 && ip link set vfarp1 up' && " +
           "ip route add 198.51.100.0/24 via 10.211.7.2") &&
        (g_hostIndex = if_nametoindex("vfarp0")) != 0)
        g_skip.clear();
}

// Starts a test on the link: no neighbour entries and no lines left by an earlier one.
bool LinkUp() {
    TakeLines();
    return g_skip.empty() && Sh("ip neigh flush dev vfarp0 nud all && ip neigh flush dev lo nud permanent");
}

// Frames the host end has sent (sysfs shows the namespace it was mounted in, /proc this one's).
std::uint64_t HostTxPackets() {
    std::ifstream in("/proc/net/dev");
    std::string field;
    while (in >> field && field != "vfarp0:")
        continue;
    std::uint64_t counters[10] = {};  // received: 8; sent: bytes, then packets
    for (auto& c : counters)
        in >> c;
    return counters[9];
}

// An ARP request through the descriptor interface; `arp` holds the answer.
int Request(vifnet32_arpreq& arp, int code, const std::uint8_t* ip, const std::uint8_t* mac) {
    arp = vifnet32_arpreq{};
    arp.arp_pa.sa_family = VIFNET32_AF_INET;
    arp.arp_flags = VIFNET32_ATF_COM;
    if (ip) std::memcpy(arp.arp_pa.sa_data, ip, 4);
    if (mac) std::memcpy(arp.arp_ha.sa_data, mac, 6);
    return theApp.IOCtl(-1, code, &arp);
}

TEST(HostArpLink, TableRowsCarryTheKernelsStatesAndArpRequestsEditThemOnTheRightInterface) {
    if (!LinkUp()) GTEST_SKIP() << g_skip;
    // Each MAC ends in the last byte of its address; the loopback has no ARP, so no row.
    const std::tuple<int, const char*, DWORD, DWORD> rows[] = {
        {100, "lladdr 02:00:00:aa:00:64 nud stale", plat::kIpNetTypeDynamic, 6},
        {101, "lladdr 02:00:00:aa:00:65 nud permanent", plat::kIpNetTypeStatic, 6},
        {102, "lladdr 02:00:00:aa:00:66 nud noarp", plat::kIpNetTypeStatic, 6},
        {103, "nud incomplete", plat::kIpNetTypeInvalid, 0}};
    for (const auto& [last, state, type, physLen] : rows)
        ASSERT_TRUE(Sh("ip neigh replace 10.211.7." + std::to_string(last) + " dev vfarp0 " + state));
    ASSERT_TRUE(Sh("ip neigh replace 0.0.0.0 lladdr 02:00:00:aa:00:68 dev lo nud permanent"));

    DWORD size = 0;
    ASSERT_EQ(plat::GetIpNetTable(nullptr, &size, true), VF_ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint8_t> buffer(size);
    auto* table = reinterpret_cast<plat::IpNetTable*>(buffer.data());
    ASSERT_EQ(plat::GetIpNetTable(table, &size, true), VF_ERROR_SUCCESS);
    ASSERT_EQ(table->dwNumEntries, std::size(rows)) << "in address order, and no loopback row";
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& [last, state, type, physLen] = rows[i];
        const plat::IpNetRow& row = table->table[i];
        EXPECT_EQ(row.dwAddr, plat::InetAddr(("10.211.7." + std::to_string(last)).c_str()));
        EXPECT_EQ(row.dwIndex, g_hostIndex);
        EXPECT_EQ(row.dwType, type) << last;
        EXPECT_EQ(row.dwPhysAddrLen, physLen) << last;
        EXPECT_EQ(row.bPhysAddr[5], physLen ? last : 0) << last;
    }
    // The lookups take dynamic rows too (static ones: the deletions by MAC below). Setting,
    // reading and deleting by IP: the end-to-end test.
    const std::uint8_t staleMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 100}, missingIP[4] = {10, 211, 7, 40};
    vifnet32_arpreq arp;
    ASSERT_EQ(Request(arp, VIFNET32_SIOCGRARP, nullptr, staleMAC), 0);
    EXPECT_EQ(B(arp.arp_pa.sa_data, 4), Bytes({10, 211, 7, 100}));
    EXPECT_EQ(Request(arp, VIFNET32_SIOCDARP, missingIP, nullptr), 0) << "deleting a missing entry";

    // Without a route, or routed to the loopback: on the default host adapter, and found by MAC.
    const std::uint8_t unroutedMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x51}, loopbackMAC[6] = {2, 0, 0, 0xAA, 0, 0x52};
    ASSERT_TRUE(Neighbours().SetARPTableEntry(kUnroutedIP, unroutedMAC));
    ASSERT_TRUE(Neighbours().SetARPTableEntry(kLoopbackIP, loopbackMAC));
    EXPECT_TRUE(Neigh("203.0.113.5 dev vfarp0") && Neigh("127.0.0.9 dev vfarp0"));
    EXPECT_EQ(Request(arp, VIFNET32_SIOCDRARP, nullptr, unroutedMAC), 0);
    EXPECT_TRUE(Neighbours().DelRARPTableEntry(loopbackMAC));
    EXPECT_FALSE(Neigh("203.0.113.5") || Neigh("127.0.0.9"));

    // A MAC nothing knows: nothing to delete, and the thread keeps the not-found pair.
    const std::uint8_t unknownMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x99};
    EXPECT_EQ(Request(arp, VIFNET32_SIOCDRARP, nullptr, unknownMAC), 0);
    EXPECT_EQ(Pair(), kNotFound);
    EXPECT_TRUE(TakeLines().empty());
}

TEST(HostArpLink, OnlyAnOnLinkNeighbourIsAskedAndThePeerAnswers) {
    if (!LinkUp()) GTEST_SKIP() << g_skip;
    const std::uint8_t peerIP[4] = {10, 211, 7, 2}, peerMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x02};
    std::uint8_t mac[6];
    ASSERT_TRUE(Neighbours().GetMACAddrForIP(peerIP, mac));
    EXPECT_EQ(B(mac, 6), B(peerMAC, 6));

    // Behind a gateway, on the loopback, without a route, or unspecified: no frame leaves.
    const std::uint8_t behindGatewayIP[4] = {198, 51, 100, 7}, noIP[4] = {}, silentIP[4] = {10, 211, 7, 9};
    const std::uint64_t before = HostTxPackets();
    for (const std::uint8_t* ip : {behindGatewayIP, kLoopbackIP, kUnroutedIP, noIP}) {
        std::memset(mac, 0xEE, 6);
        EXPECT_FALSE(Neighbours().GetMACAddrForIP(ip, mac));
        EXPECT_EQ(Pair(), kNotFound);
        EXPECT_EQ(B(mac, 6), Bytes(6, 0)) << "the output is zeroed first";
    }
    EXPECT_EQ(HostTxPackets(), before);

    // On the link but unanswered: asked, then given up after a bounded wait.
    EXPECT_FALSE(Neighbours().GetMACAddrForIP(silentIP, mac));
    EXPECT_EQ(Pair(), kNotFound);
    EXPECT_GT(HostTxPackets(), before);
    EXPECT_TRUE(TakeLines().empty()) << "a missing address has no message";
}

// The destination MAC of the latest frame a TUN write sent for `ip`.
Bytes TunWriteDest(int fd, const std::uint8_t* ip) {
    std::uint8_t packet[28] = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, 17};
    std::memcpy(packet + 16, ip, 4);
    EXPECT_EQ(theApp.Write(fd, packet, sizeof packet), static_cast<int>(sizeof packet));
    std::uint8_t frame[64] = {};
    std::uint32_t length = 0;
    const std::uint32_t count = WrenSimSentCount(u"sim-arp");
    EXPECT_EQ(WrenSimGetSent(u"sim-arp", count - 1, frame, sizeof frame, &length), WRENSIM_SENT_FRAME);
    return B(frame, 6);
}

// TUN writes do not read the host's table for every packet, but a changed or removed entry
// reaches their frames within about a second (polled here, with a generous bound). A missing
// entry is asked for on the link by the interface (a guest without a netmask has every address
// on its link); unanswered, its frames take the host adapter some seconds later.
TEST(HostArpLink, TunWritesFollowTableChanges) {
    if (!LinkUp()) GTEST_SKIP() << g_skip;
    const int fd = OpenTun();
    ASSERT_GE(fd, 0);
    {
        const std::uint8_t tarnIP[4] = {10, 211, 7, 77};
        CVifnetRef vf = theApp.LookupFd(fd);
        ASSERT_TRUE(vf && vf->AddTarnVirtIPAddr(tarnIP) && vf->SetIFaceFlags(VIFNET32_IFF_UP));
    }
    const std::uint8_t ip[4] = {198, 51, 100, 50};
    const Bytes first = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x50}, changed = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x51};
    ASSERT_TRUE(Sh("ip neigh replace 198.51.100.50 lladdr 02:00:00:aa:00:50 dev vfarp0 nud permanent"));
    EXPECT_EQ(TunWriteDest(fd, ip), first);

    // Until the frames show `expected`, for at most ten seconds.
    auto reaches = [&](const Bytes& expected) {
        for (int i = 0; i < 500; ++i, plat::Sleep(20))
            if (TunWriteDest(fd, ip) == expected) return true;
        return false;
    };
    ASSERT_TRUE(Sh("ip neigh replace 198.51.100.50 lladdr 02:00:00:aa:00:51 dev vfarp0 nud permanent"));
    EXPECT_TRUE(reaches(changed)) << "entry changed";
    ASSERT_TRUE(Sh("ip neigh del 198.51.100.50 dev vfarp0"));
    EXPECT_TRUE(reaches(B(kHostMAC, 6))) << "entry removed: the host adapter is the last resort";
    EXPECT_EQ(TunWriteDest(fd, ip), B(kHostMAC, 6)) << "a failed look-up is remembered as failed";
    ASSERT_TRUE(Sh("ip neigh replace 198.51.100.50 lladdr 02:00:00:aa:00:50 dev vfarp0 nud permanent"));
    EXPECT_TRUE(reaches(first)) << "a new entry, after a failed look-up";
    EXPECT_EQ(theApp.Close(fd), 0);
    EXPECT_TRUE(TakeLines().empty());
}

// A shared guest's packets reach the host's stack too (they are addressed to its MAC): a host
// that forwards on the adapter would route them again, which the mode request reports and going
// up warns of.
TEST(HostArpLink, SharedMacModeReportsAndWarnsOfForwardingOnTheAdapter) {
    if (!LinkUp()) GTEST_SKIP() << g_skip;
    for (const int forwarding : {1, 0}) {
        std::ofstream("/proc/sys/net/ipv4/conf/vfarp0/forwarding") << forwarding << "\n";
        const int fd = OpenTun();
        ASSERT_GE(fd, 0);
        int mode = VIFNET32_MACMODE_SHARED;
        ASSERT_EQ(theApp.IOCtl(fd, VIFNET32_IFCTL_SETMACMODE, &mode), 0);
        ASSERT_EQ(theApp.IOCtl(fd, VIFNET32_IFCTL_GETMACMODE, &mode), 0);
        EXPECT_EQ(mode, VIFNET32_MACMODE_SHARED | VIFNET32_MACMODE_F_SHARED_IN_FORCE |
                            (forwarding ? VIFNET32_MACMODE_F_FORWARDING : 0));
        {
            CVifnetRef vf = theApp.LookupFd(fd);
            ASSERT_TRUE(vf && vf->SetIFaceFlags(VIFNET32_IFF_UP));
        }
        const std::vector<std::string> lines = TakeLines();
        EXPECT_EQ(
            std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("::IFaceUp: WARNING: the host forwards IPv4") != l.npos; }),
            forwarding);
        EXPECT_EQ(theApp.Close(fd), 0);
    }
}

#else

// Wine's IP Helper accepts entries without entering them: the end-to-end test's ARP requests.
void BuildLink() {}

#endif

// Everywhere: MAC to IP (IP to MAC: the TUN write tests); no one answers on the loopback.
TEST(HostArp, AdapterAndOwnInterfacesResolveBeforeTheNetwork) {
    TakeLines();
    std::uint8_t mac[6], ip[4];
    ASSERT_TRUE(Neighbours().GetIPAddrForMAC(ip, kHostMAC));
    EXPECT_EQ(B(ip, 4), B(kHostIP, 4));

    const int fd = OpenTun();
    ASSERT_GE(fd, 0);
    const std::uint8_t tarnIP[4] = {10, 211, 7, 77};
    vifnet32_sockaddr tarnMAC{};
    {
        CVifnetRef vf = theApp.LookupFd(fd);
        ASSERT_TRUE(vf && vf->AddTarnVirtIPAddr(tarnIP) && vf->GetTarnVirtMACAddr(&tarnMAC));
    }
    EXPECT_TRUE(Neighbours().GetIPAddrForMAC(ip, tarnMAC.sa_data));
    EXPECT_EQ(B(ip, 4), B(tarnIP, 4));
    ASSERT_EQ(theApp.Close(fd), 0);
    std::memset(ip, 0xEE, 4);
    EXPECT_FALSE(Neighbours().GetIPAddrForMAC(ip, tarnMAC.sa_data)) << "a closed interface no longer counts";
    EXPECT_EQ(Pair(), kNotFound);
    EXPECT_EQ(B(ip, 4), Bytes(4, 0));

    EXPECT_FALSE(Neighbours().GetMACAddrForIP(kLoopbackIP, mac));
    EXPECT_EQ(Pair(), kNotFound);
    EXPECT_TRUE(TakeLines().empty());
}

}  // namespace
