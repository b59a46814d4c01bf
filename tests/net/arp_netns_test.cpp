// The host ARP-table services against a real neighbour table. On Linux the test program moves
// itself into a network namespace of its own, with a veth pair whose far end sits in a second
// namespace (held by a child process) whose kernel answers ARP; nothing leaves the two, and both
// vanish with the program whatever way it ends. Without root or `ip` the tests that need the
// link skip. Under Wine the services reach Wine's IP Helper, which the remaining tests cover.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/vifnet32_app.h"
#include "platform/iphelper.h"
#include "trace/trace.h"
#include "wrensim.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#endif

namespace {

// The host side of the link, which is also the simulated host adapter; the peer; an on-link
// address nobody holds; a network reached through the peer as gateway.
const std::uint8_t kHostMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x01};
const std::uint8_t kPeerMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x02};
const std::uint8_t kHostIP[4] = {10, 211, 7, 1};
const std::uint8_t kPeerIP[4] = {10, 211, 7, 2};
const std::uint8_t kSilentIP[4] = {10, 211, 7, 9};
const std::uint8_t kBehindGatewayIP[4] = {198, 51, 100, 7};
const std::uint8_t kLoopbackIP[4] = {127, 0, 0, 9};
const std::uint8_t kUnroutedIP[4] = {203, 0, 113, 5};
const std::uint8_t kNoIP[4] = {};

std::vector<std::uint8_t> Bytes(const std::uint8_t* p, std::size_t n) { return {p, p + n}; }

// Every line the library writes while one is alive.
std::mutex g_linesLock;
std::vector<std::string> g_lines;
struct Capture {
    static void Collect(const char* text) {
        std::lock_guard<std::mutex> lock(g_linesLock);
        g_lines.emplace_back(text);
    }
    Capture() {
        Take();
        trace::g_pfnPrintDebugString.store(&Collect);
    }
    ~Capture() { trace::g_pfnPrintDebugString.store(nullptr); }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(g_linesLock);
        return std::exchange(g_lines, {});
    }
};

// The failure pair the calling thread was handed.
void ExpectPair(int nErrno, DWORD dwError) {
    EXPECT_EQ(plat::GetErrno(), nErrno);
    EXPECT_EQ(plat::GetLastErrorCode(), dwError);
}

#if !defined(_WIN32)

// Runs a shell command; true if it exited 0.
bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// What a shell command printed.
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

class LinkPair : public testing::Environment {
public:
    // Why the link-bound tests skip; empty when the link is up.
    std::string m_skip = "the network namespaces were not set up";
    unsigned m_hostIndex = 0;

    void SetUp() override { Build(); }

    void TearDown() override {
        if (m_hostIndex) Sh("ip link del vfarp0");
        if (m_holdFd >= 0) close(m_holdFd);  // the peer's holder sees the end of its pipe
        if (m_peerPid > 0) waitpid(m_peerPid, nullptr, 0);
    }

private:
    void Build() {
        if (geteuid() != 0) return void(m_skip = "not root");
        if (!Sh("ip -V") || !Sh("nsenter --version")) return void(m_skip = "ip or nsenter missing");
        // The peer namespace belongs to a child that only waits: it dies with this program.
        int ready[2], hold[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) return;
        const pid_t parent = getpid();
        m_peerPid = fork();
        if (m_peerPid == 0) {
            close(ready[0]);
            close(hold[1]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            char ok = getppid() == parent && unshare(CLONE_NEWNET) == 0 ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            char byte;
            while (read(hold[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        m_holdFd = hold[1];
        char ok = 0;
        const bool peerReady = m_peerPid > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
        if (!peerReady || unshare(CLONE_NEWNET) != 0) return;
        // No IPv6 on the link: the only frames on it are the ones the tests cause.
        std::ofstream("/proc/sys/net/ipv6/conf/default/disable_ipv6") << "1\n";
        const std::string peer = "nsenter -t " + std::to_string(m_peerPid) + " -n ";
        const bool built =
            Sh("ip link set lo up") &&
            Sh("ip link add vfarp0 address 02:00:00:aa:00:01 type veth peer name vfarp1 address 02:00:00:aa:00:02 netns " +
               std::to_string(m_peerPid)) &&
            Sh("ip addr add 10.211.7.1/24 dev vfarp0") && Sh("ip link set vfarp0 up") && Sh(peer + "ip link set lo up") &&
            Sh(peer + "ip addr add 10.211.7.2/24 dev vfarp1") && Sh(peer + "ip link set vfarp1 up") &&
            Sh("ip route add 198.51.100.0/24 via 10.211.7.2");
        if (!built) return;
        m_hostIndex = if_nametoindex("vfarp0");
        if (m_hostIndex) m_skip.clear();
    }

    pid_t m_peerPid = -1;
    int m_holdFd = -1;
};
LinkPair* const g_link = static_cast<LinkPair*>(testing::AddGlobalTestEnvironment(new LinkPair));

// Tests on the link; whatever they leave in the neighbour table goes after each.
class HostArpLink : public testing::Test {
protected:
    void SetUp() override {
        if (!g_link->m_skip.empty()) GTEST_SKIP() << g_link->m_skip;
    }
    void TearDown() override {
        if (g_link->m_skip.empty()) Sh("ip neigh flush dev vfarp0 nud all && ip neigh flush dev lo nud permanent");
    }
};

// Frames the host end of the link has sent (from this namespace's /proc/net/dev: sysfs shows
// the namespace it was mounted in).
std::uint64_t HostTxPackets() {
    std::ifstream in("/proc/net/dev");
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || line.substr(0, colon).find("vfarp0") == std::string::npos) continue;
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t value = 0;
        for (int i = 0; i < 10; ++i)
            fields >> value;  // receive: 8 counters; send: bytes, then packets
        return value;
    }
    return 0;
}

// An ARP request record with the address and MAC given.
vifnet32_arpreq ArpRecord(const std::uint8_t* ip, const std::uint8_t* mac) {
    vifnet32_arpreq arp{};
    arp.arp_pa.sa_family = VIFNET32_AF_INET;
    arp.arp_flags = VIFNET32_ATF_COM;
    if (ip) std::memcpy(arp.arp_pa.sa_data, ip, 4);
    if (mac) std::memcpy(arp.arp_ha.sa_data, mac, 6);
    return arp;
}

TEST_F(HostArpLink, NeighbourTableRowsCarryTheKernelsStates) {
    // Each MAC ends in the last byte of its address (0x64 = 100).
    ASSERT_TRUE(Sh("ip neigh replace 10.211.7.100 lladdr 02:00:00:aa:00:64 dev vfarp0 nud stale"));
    ASSERT_TRUE(Sh("ip neigh replace 10.211.7.101 lladdr 02:00:00:aa:00:65 dev vfarp0 nud permanent"));
    ASSERT_TRUE(Sh("ip neigh replace 10.211.7.102 lladdr 02:00:00:aa:00:66 dev vfarp0 nud noarp"));
    ASSERT_TRUE(Sh("ip neigh replace 10.211.7.103 dev vfarp0 nud incomplete"));
    // The loopback has no ARP, yet the kernel keeps an entry there (0.0.0.0, the one key of a
    // loopback) once anything was sent to 0.0.0.0: it is no row.
    ASSERT_TRUE(Sh("ip neigh replace 0.0.0.0 lladdr 02:00:00:aa:00:68 dev lo nud permanent"));

    DWORD size = 0;
    ASSERT_EQ(plat::GetIpNetTable(nullptr, &size, true), VF_ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint8_t> buffer(size);
    ASSERT_EQ(plat::GetIpNetTable(reinterpret_cast<plat::IpNetTable*>(buffer.data()), &size, true), VF_ERROR_SUCCESS);
    const struct {
        std::uint8_t last;
        DWORD type;
        DWORD physLen;
    } expected[] = {{100, plat::kIpNetTypeDynamic, 6},
                    {101, plat::kIpNetTypeStatic, 6},
                    {102, plat::kIpNetTypeStatic, 6},
                    {103, plat::kIpNetTypeInvalid, 0}};
    const auto* table = reinterpret_cast<const plat::IpNetTable*>(buffer.data());
    const plat::IpNetRow* end = table->table + table->dwNumEntries;
    auto find = [&](std::uint8_t last) {
        return std::find_if(table->table, end, [&](const plat::IpNetRow& r) {
            const std::uint8_t ip[4] = {10, 211, 7, last};
            return std::memcmp(&r.dwAddr, ip, 4) == 0;
        });
    };
    for (const auto& e : expected) {
        const plat::IpNetRow* row = find(e.last);
        ASSERT_NE(row, end) << int(e.last);
        EXPECT_EQ(row->dwIndex, g_link->m_hostIndex);
        EXPECT_EQ(row->dwType, e.type) << int(e.last);
        EXPECT_EQ(row->dwPhysAddrLen, e.physLen) << int(e.last);
        if (e.physLen) {
            EXPECT_EQ(row->bPhysAddr[5], e.last);
        }
    }

    // The lookups read the table; a row still being resolved knows no MAC.
    const std::uint8_t staleMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 100};
    std::uint8_t ip[4];
    ASSERT_TRUE(theApp.GetIPAddrForMAC(ip, staleMAC));
    EXPECT_EQ(ip[3], 100);
    const std::uint8_t noarpIP[4] = {10, 211, 7, 102};
    std::uint8_t mac[6];
    ASSERT_TRUE(theApp.GetMACAddrForIP(noarpIP, mac));
    EXPECT_EQ(mac[5], 102);
    EXPECT_FALSE(theApp.GetMACAddrForIP(kNoIP, mac));
}

TEST_F(HostArpLink, ArpRequestsEditTheTableOnTheRightInterface) {
    Capture capture;
    const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x40};
    const std::uint8_t ip[4] = {10, 211, 7, 40};
    vifnet32_arpreq arp = ArpRecord(ip, mac);
    ASSERT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCSARP, &arp), 0);
    EXPECT_NE(Output("ip neigh show 10.211.7.40 dev vfarp0").find("lladdr 02:00:00:aa:00:40 PERMANENT"), std::string::npos);

    arp = ArpRecord(ip, nullptr);
    ASSERT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCGARP, &arp), 0);
    EXPECT_EQ(Bytes(arp.arp_ha.sa_data, 6), Bytes(mac, 6));
    arp = ArpRecord(nullptr, mac);
    ASSERT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCGRARP, &arp), 0);
    EXPECT_EQ(Bytes(arp.arp_pa.sa_data, 4), Bytes(ip, 4));

    arp = ArpRecord(ip, nullptr);
    ASSERT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCDARP, &arp), 0);
    EXPECT_EQ(Output("ip neigh show 10.211.7.40"), "");
    EXPECT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCDARP, &arp), 0) << "deleting a missing entry";

    // An address without a route, and one the routing puts on the loopback, are entered on the
    // default host adapter; deleting by MAC finds them again.
    const std::uint8_t unroutedMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x51};
    const std::uint8_t loopbackMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x52};
    ASSERT_TRUE(theApp.SetARPTableEntry(kUnroutedIP, unroutedMAC));
    ASSERT_TRUE(theApp.SetARPTableEntry(kLoopbackIP, loopbackMAC));
    EXPECT_NE(Output("ip neigh show 203.0.113.5 dev vfarp0"), "");
    EXPECT_NE(Output("ip neigh show 127.0.0.9 dev vfarp0"), "");
    arp = ArpRecord(nullptr, unroutedMAC);
    EXPECT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCDRARP, &arp), 0);
    EXPECT_TRUE(theApp.DelRARPTableEntry(loopbackMAC));
    EXPECT_EQ(Output("ip neigh show dev vfarp0"), "");

    // A MAC nothing knows: nothing to delete, and the thread keeps the not-found pair.
    const std::uint8_t unknownMAC[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x99};
    arp = ArpRecord(nullptr, unknownMAC);
    EXPECT_EQ(theApp.IOCtl(-1, VIFNET32_SIOCDRARP, &arp), 0);
    ExpectPair(VF_ENOENT, VF_ERROR_NOT_FOUND);
    EXPECT_TRUE(capture.Take().empty());
}

TEST_F(HostArpLink, OnlyAnOnLinkNeighbourIsAskedAndThePeerAnswers) {
    Capture capture;
    std::uint8_t mac[6];
    ASSERT_TRUE(theApp.GetMACAddrForIP(kPeerIP, mac));
    EXPECT_EQ(Bytes(mac, 6), Bytes(kPeerMAC, 6));

    // Behind a gateway, on the loopback, or the unspecified address: no frame leaves.
    const std::uint64_t before = HostTxPackets();
    for (const std::uint8_t* ip : {kBehindGatewayIP, kLoopbackIP, kUnroutedIP, kNoIP}) {
        std::memset(mac, 0xEE, 6);
        EXPECT_FALSE(theApp.GetMACAddrForIP(ip, mac));
        ExpectPair(VF_ENOENT, VF_ERROR_NOT_FOUND);
        EXPECT_EQ(Bytes(mac, 6), std::vector<std::uint8_t>(6, 0)) << "the output is zeroed first";
    }
    EXPECT_EQ(HostTxPackets(), before);

    // On the link but unanswered: asked, then given up after a bounded wait.
    EXPECT_FALSE(theApp.GetMACAddrForIP(kSilentIP, mac));
    ExpectPair(VF_ENOENT, VF_ERROR_NOT_FOUND);
    EXPECT_GT(HostTxPackets(), before);
    EXPECT_TRUE(capture.Take().empty()) << "a missing address has no message";
}

#else

TEST(HostArpWine, IpHelperAnswersAsWineImplementsIt) {
    DWORD size = 0;
    const DWORD first = plat::GetIpNetTable(nullptr, &size, false);
    ASSERT_TRUE(first == VF_ERROR_INSUFFICIENT_BUFFER || first == VF_ERROR_NO_DATA) << first;
    if (first == VF_ERROR_INSUFFICIENT_BUFFER) {
        std::vector<std::uint8_t> buffer(size);
        EXPECT_EQ(plat::GetIpNetTable(reinterpret_cast<plat::IpNetTable*>(buffer.data()), &size, false), VF_ERROR_SUCCESS);
    }
    // Wine accepts entries without entering them.
    const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0xAA, 0x00, 0x40};
    EXPECT_TRUE(theApp.SetARPTableEntry(kUnroutedIP, mac));
    EXPECT_TRUE(theApp.DelARPTableEntry(kUnroutedIP));
}

#endif

// The host adapter the library lists: the host end of the link where there is one (elsewhere
// index 1, so that the last choice of an interface for an entry has an index to give).
class HostAdapter : public testing::Environment {
public:
    void SetUp() override {
        ADAPTER_INFO_LIST_ENTRY entry{};
        std::u16string(u"sim-arp").copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
        std::memcpy(entry.MACAddr, kHostMAC, 6);
        std::memcpy(&entry.IPAddr, kHostIP, 4);
        entry.nMaxFrameSize = 1514;
#if defined(_WIN32)
        entry.nIfIndex = 1;
#else
        entry.nIfIndex = g_link->m_hostIndex ? g_link->m_hostIndex : 1;
#endif
        WrenSimReset();
        ASSERT_TRUE(WrenSimAddAdapter(&entry));
    }
};
// After the link, whose index it takes.
const auto* const g_hostAdapter = testing::AddGlobalTestEnvironment(new HostAdapter);

// Everywhere: the host adapter, the process's own interfaces, and an address nobody answers
// for (on the loopback, so that no request leaves on any platform).
TEST(HostArp, AdapterAndOwnInterfacesResolveBeforeTheNetwork) {
    Capture capture;
    std::uint8_t mac[6];
    std::uint8_t ip[4];
    ASSERT_TRUE(theApp.GetMACAddrForIP(kHostIP, mac));
    EXPECT_EQ(Bytes(mac, 6), Bytes(kHostMAC, 6));
    ASSERT_TRUE(theApp.GetIPAddrForMAC(ip, kHostMAC));
    EXPECT_EQ(Bytes(ip, 4), Bytes(kHostIP, 4));

    const int fd = theApp.Open("10.211.7.1", 2);
    ASSERT_GE(fd, 0);
    const std::uint8_t tarnIP[4] = {10, 211, 7, 77};
    vifnet32_sockaddr tarnMAC{};
    {
        CVifnetRef vf = theApp.LookupFd(fd);
        ASSERT_TRUE(vf);
        ASSERT_TRUE(vf->AddTarnVirtIPAddr(tarnIP));
        ASSERT_TRUE(vf->GetTarnVirtMACAddr(&tarnMAC));
    }
    EXPECT_TRUE(theApp.GetMACAddrForIP(tarnIP, mac));
    EXPECT_EQ(Bytes(mac, 6), Bytes(tarnMAC.sa_data, 6));
    EXPECT_TRUE(theApp.GetIPAddrForMAC(ip, tarnMAC.sa_data));
    EXPECT_EQ(Bytes(ip, 4), Bytes(tarnIP, 4));
    ASSERT_EQ(theApp.Close(fd), 0);
    std::memset(ip, 0xEE, 4);
    EXPECT_FALSE(theApp.GetIPAddrForMAC(ip, tarnMAC.sa_data)) << "a closed interface no longer counts";
    ExpectPair(VF_ENOENT, VF_ERROR_NOT_FOUND);
    EXPECT_EQ(Bytes(ip, 4), std::vector<std::uint8_t>(4, 0));

    EXPECT_FALSE(theApp.GetMACAddrForIP(kLoopbackIP, mac));
    ExpectPair(VF_ENOENT, VF_ERROR_NOT_FOUND);
    EXPECT_TRUE(capture.Take().empty());
}

TEST(HostArp, NullArgumentsAreRefusedWithTheCallersProcess) {
    Capture capture;
    char pid[16];
    std::snprintf(pid, sizeof pid, "%08X", static_cast<unsigned>(plat::GetCurrentProcessId()));
    std::uint8_t buf[6] = {};
    const struct {
        const char* name;
        bool ok;
    } calls[] = {
        {"SetARPTableEntry", theApp.SetARPTableEntry(nullptr, buf)}, {"SetARPTableEntry", theApp.SetARPTableEntry(buf, nullptr)},
        {"DelARPTableEntry", theApp.DelARPTableEntry(nullptr)},      {"GetMACAddrForIP", theApp.GetMACAddrForIP(buf, nullptr)},
        {"GetIPAddrForMAC", theApp.GetIPAddrForMAC(nullptr, buf)},   {"DelRARPTableEntry", theApp.DelRARPTableEntry(nullptr)},
    };
    const std::vector<std::string> lines = capture.Take();
    ASSERT_EQ(lines.size(), std::size(calls));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_FALSE(calls[i].ok);
        EXPECT_EQ(lines[i], std::string("** CVifnet32App::") + calls[i].name + ": Invalid parameters from process " + pid + "\n");
    }
    ExpectPair(VF_EINVAL, VF_ERROR_INVALID_PARAMETER);
}

}  // namespace
