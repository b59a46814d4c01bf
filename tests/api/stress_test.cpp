// Many threads of one process opening, naming, configuring and closing interfaces on two shared
// host adapters at once, with the debug output on the whole time. Run for a fixed while; what
// is checked is what every cycle must get right however the threads interleave.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// Both adapters, each by its address and by its MAC.
const char* const kGateways[] = {"10.1.0.2", "00:1A:2B:3C:4D:5E", "192.168.7.1", "02-11-22-33-44-55"};

constexpr int kThreads = 6;
constexpr auto kRunFor = std::chrono::seconds(3);
// Names are never reused, so the library's name table only grows: a bound keeps a fast machine
// from spending the run on ever longer name searches.
constexpr uint64_t kMaxCyclesPerThread = 4000;

using vtest::StartsWith;

// The output function's view of the messages: each one whole, and the library's multi-message
// blocks (trace banner with its dump, the five-part dump, two-line failures) never split by
// another thread's messages. Checked as the messages arrive, so nothing has to be kept.
class OutputWatch {
public:
    static OutputWatch& Instance() {
        static OutputWatch watch;
        return watch;
    }
    static void Sink(const char* text) { Instance().Take(text); }

    uint64_t messages = 0, banners = 0, dumps = 0, twoLineFailures = 0;
    std::vector<std::string> faults;

private:
    static constexpr const char* kDumpHead = "---------------- Internal variables ----------------\n";
    static constexpr const char* kDumpParts[] = {
        kDumpHead, " Host Physical IP Address:", " Multicast List:", "----------- Physical Adapter information", " MAC Address:"};
    static constexpr const char* kDumpEnd = "-----------------------------------------------------\n\n";
    static constexpr const char* kBanner = "*** BEGIN TRACE *** for Vifnet interface ";
    static constexpr const char* kNullAddress = "::AddTarnVirtIPAddr: Invalid NULL or broadcast IP address\n";

    void Take(const char* text) {
        std::lock_guard<std::mutex> lock(m_lock);
        ++messages;
        const size_t len = text ? std::strlen(text) : 0;
        if (len == 0 || text[len - 1] != '\n') return Fault("incomplete message", text ? text : "(null)");
        if (!m_next.empty()) {
            if (!StartsWith(text, m_next)) Fault("block split, expected \"" + m_next + "\"", text);
            m_next.clear();
        }
        if (m_dumpPart > 0) {
            if (!StartsWith(text, kDumpParts[m_dumpPart])) {
                Fault("dump split before part " + std::to_string(m_dumpPart + 1), text);
                m_dumpPart = 0;
            } else if (++m_dumpPart == 5) {
                const size_t end = std::strlen(kDumpEnd);
                if (len < end || std::strcmp(text + len - end, kDumpEnd) != 0) Fault("dump without its closing line", text);
                ++dumps;
                m_dumpPart = 0;
            }
            return;
        }
        if (StartsWith(text, kDumpHead)) {
            m_dumpPart = 1;
        } else if (StartsWith(text, kBanner)) {
            // The dump that follows a banner is of the same interface.
            ++banners;
            m_next = std::string(kDumpHead) +
                     "\n Virtual Interface Ptr:           " + std::string(text + std::strlen(kBanner)).substr(0, 16) + "\n";
        } else if (const char* at = std::strstr(text, kNullAddress)) {
            ++twoLineFailures;
            m_next = std::string(text, at) + "::AddTarnVirtIPAddr: IN_ADDR = 0.0.0.0\n";
        }
    }
    void Fault(const std::string& what, const char* text) {
        if (faults.size() < 5) faults.push_back(what + ": \"" + std::string(text).substr(0, 200) + "\"");
    }

    std::mutex m_lock;
    std::string m_next;  // what the next message must begin with, if anything
    int m_dumpPart = 0;  // the dump part expected next (1..4), 0 outside a dump
};

struct Reply {
    int rc = 0;
    int e = 0;
};

Reply Request(int fd, int code, void* record) {
    Reply r;
    r.rc = vifnet32_ioctl_ex(fd, code, record, &r.e);
    return r;
}

vifnet32_ifreq Named(const std::string& name) {
    vifnet32_ifreq req{};
    std::memcpy(req.ifr_name, name.data(), std::min(name.size(), sizeof req.ifr_name - 1));
    return req;
}

vifnet32_ifreq Addressed(const std::string& name, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    vifnet32_ifreq req = Named(name);
    req.ifr_ifru.ifru_addr_in.sin_family = VIFNET32_AF_INET;
    const uint8_t ip[4] = {a, b, c, d};
    std::memcpy(req.ifr_ifru.ifru_addr_in.sin_addr, ip, 4);
    return req;
}

// The highest name number handed out so far, for requests by names of other threads'
// interfaces (open, closed or not yet given).
std::atomic<int> g_highestName{0};

class Worker {
public:
    explicit Worker(int id) : m_id(id), m_rng(static_cast<unsigned>(1000 + id)) {}

    uint64_t cycles = 0, faults = 0;
    std::string firstFaults;
    std::vector<std::string> names;  // in the order handed out

    void Cycle() {
        const bool tun = m_rng() & 1, notify = m_rng() & 1;
        const bool traced = cycles == 0 || m_rng() % 2 == 0;
        const uint8_t id = static_cast<uint8_t>(m_id);
        Reply open;
        open.rc = vifnet32_open_ex(kGateways[m_rng() % 4], VIFNET32_O_RDWR | (notify ? _O_VF32NOTIFY : 0), &open.e);
        Expect(open.rc >= 0, "open", open);
        if (open.rc < 0) return;
        const int fd = open.rc;
        ++cycles;

        vifnet32_ifreq req{};
        req.ifr_flags = tun ? VIFNET32_IFF_TUN : VIFNET32_IFF_TAP;
        Ok("TUNSETIFF", Request(fd, VIFNET32_TUNSETIFF, &req));
        const std::string name(req.ifr_name, strnlen(req.ifr_name, sizeof req.ifr_name));
        TakeName(name);
        req = Named(name);
        req.ifr_flags = traced ? VIFNET32_IFF_DEBUG : 0;
        Ok("SIOCSIFFLAGS", Request(-1, VIFNET32_SIOCSIFFLAGS, &req));
        req = Addressed(name, 10, 1, 0, static_cast<uint8_t>(10 + id));
        Ok("SIOCSIFDSTADDR", Request(-1, VIFNET32_SIOCSIFDSTADDR, &req));
        req = Addressed(name, 255, 255, 255, 0);
        Ok("SIOCSIFNETMASK", Request(-1, VIFNET32_SIOCSIFNETMASK, &req));
        req = Named(name);
        req.ifr_mtu = 1400 + id;
        Ok("SIOCSIFMTU", Request(-1, VIFNET32_SIOCSIFMTU, &req));
        req = Named(name);
        const uint8_t group[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, id};
        std::memcpy(req.ifr_hwaddr.sa_data, group, 6);
        Ok("SIOCADDMULTI", Request(-1, VIFNET32_SIOCADDMULTI, &req));

        req = vifnet32_ifreq{};
        req.ifr_ifru.ifru_value = 32768;
        Ok("IFCTL_SETIOBUFSIZE while down", Request(fd, VIFNET32_IFCTL_SETIOBUFSIZE, &req));
        uint8_t guest[sizeof(vifnet32_ifreq)] = {10, 1, 0, static_cast<uint8_t>(20 + id)};
        Ok("IFCTL_ADDTARNIPADDR", Request(fd, VIFNET32_IFCTL_ADDTARNIPADDR, guest));
        if (m_rng() % 4 == 0) {
            uint8_t none[sizeof(vifnet32_ifreq)] = {};
            Fails("IFCTL_ADDTARNIPADDR 0.0.0.0", Request(fd, VIFNET32_IFCTL_ADDTARNIPADDR, none), 22);
        }
        req = Named(name);
        Reply mtu = Request(-1, VIFNET32_SIOCGIFMTU, &req);
        Expect(mtu.rc == 0 && req.ifr_mtu == 1400 + id, "SIOCGIFMTU gives this thread's MTU", mtu);

        req = Named(name);
        req.ifr_flags = static_cast<int16_t>(VIFNET32_IFF_UP | (traced ? VIFNET32_IFF_DEBUG : 0));
        Ok("SIOCSIFFLAGS up", Request(-1, VIFNET32_SIOCSIFFLAGS, &req));
        req = vifnet32_ifreq{};
        req.ifr_ifru.ifru_value = 65536;
        Fails("IFCTL_SETIOBUFSIZE while up", Request(fd, VIFNET32_IFCTL_SETIOBUFSIZE, &req), 16);
        VIFNET32_STATS stats{};
        stats.dwStructSize = sizeof stats;
        Reply got = Request(fd, VIFNET32_IFCTL_GETSTATS, &stats);
        Expect(got.rc == 0 && stats.dwStructSize == sizeof stats && stats.dwReadBuffSize == 32768, "IFCTL_GETSTATS", got);

        RequestByOtherName();
        // A failure of another kind on the application at the same moment as the others'
        // unknown-name failures: each thread must still get its own error number.
        vifnet32_arpreq arp{};
        arp.arp_pa.sa_family = VIFNET32_AF_INET;
        arp.arp_flags = VIFNET32_ATF_COM;
        Fails("SIOCGARP", Request(-1, VIFNET32_SIOCGARP, &arp), 2);

        if (m_rng() & 1) {  // otherwise closed while up and traced
            req = Named(name);
            req.ifr_flags = 0;
            Ok("SIOCSIFFLAGS down", Request(-1, VIFNET32_SIOCSIFFLAGS, &req));
        }
        Reply closed;
        closed.rc = vifnet32_close_ex(fd, &closed.e);
        Ok("close", closed);
        req = Named(name);
        Fails("request by the closed interface's name", Request(-1, VIFNET32_SIOCGIFFLAGS, &req), 9);
    }

private:
    void Expect(bool ok, const std::string& what, Reply r) {
        if (ok) return;
        if (++faults <= 5) firstFaults += what + ": rc=" + std::to_string(r.rc) + " errno=" + std::to_string(r.e) + "\n";
    }
    void Ok(const char* what, Reply r) { Expect(r.rc == 0, what, r); }
    void Fails(const char* what, Reply r, int e) {
        Expect(r.rc == -1 && r.e == e, std::string(what) + " (want " + std::to_string(e) + ")", r);
    }

    void TakeName(const std::string& name) {
        Expect(name.size() > 3, "name \"" + name + "\"", {});
        if (name.size() <= 3) return;
        names.push_back(name);
        const int number = std::atoi(name.c_str() + 3);
        int seen = g_highestName.load();
        while (number > seen && !g_highestName.compare_exchange_weak(seen, number)) {
        }
    }

    // A getter by a name that may be another thread's open interface, a closed one or none yet.
    void RequestByOtherName() {
        static const int kGetters[] = {VIFNET32_SIOCGIFFLAGS, VIFNET32_SIOCGIFMTU, VIFNET32_SIOCGIFNETMASK,
                                       VIFNET32_SIOCGIFDSTADDR, VIFNET32_SIOCGIFHWADDR};
        const std::string other =
            std::string(m_rng() & 1 ? "tun" : "tap") + std::to_string(m_rng() % static_cast<unsigned>(g_highestName.load() + 3));
        vifnet32_ifreq req = Named(other);
        Reply r = Request(-1, kGetters[m_rng() % 5], &req);
        Expect(r.rc == 0 || (r.rc == -1 && r.e == 9), "request by other name " + other, r);
    }

    int m_id;
    std::mt19937 m_rng;
};

// Frames in and out of one TUN interface in notify mode, traced, while the workers bind and
// unbind other interfaces on the same adapter: the feeder injects receive buffers (ARP requests
// for the interface's address, IPv4 and IPv6 frames), the reader waits on the descriptor and reads
// until the timeout result, the writer sends packets singly and in batches.
class Traffic {
public:
    Traffic() {
        int e = 0;
        fd = vifnet32_open_ex("10.1.0.2", VIFNET32_O_RDWR | _O_VF32NOTIFY, &e);
        EXPECT_GE(fd, 0) << e;
        vifnet32_ifreq req{};
        req.ifr_flags = VIFNET32_IFF_TUN;
        EXPECT_EQ(vifnet32_ioctl_ex(fd, VIFNET32_TUNSETIFF, &req, &e), 0) << e;
        const uint8_t ip[4] = {10, 1, 0, 200};
        vifnet32_ifreq rec{};
        std::memcpy(&rec, ip, 4);
        EXPECT_EQ(vifnet32_ioctl_ex(fd, VIFNET32_IFCTL_ADDTARNIPADDR, &rec, &e), 0) << e;
        rec = vifnet32_ifreq{};
        rec.ifr_ifru.ifru_value = 0x8000C0C0u;  // every frame kind, no hex dump
        EXPECT_EQ(vifnet32_ioctl_ex(fd, VIFNET32_TUNSETDEBUG, &rec, &e), 0) << e;
        rec = Named(req.ifr_name);
        rec.ifr_flags = VIFNET32_IFF_UP | VIFNET32_IFF_DEBUG;
        EXPECT_EQ(vifnet32_ioctl_ex(-1, VIFNET32_SIOCSIFFLAGS, &rec, &e), 0) << e;
    }
    ~Traffic() { vifnet32_close(fd); }

    void Feed(const std::atomic<bool>& stop) {
        static const uint8_t arp[42] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x50, 0x56, 1, 2, 3, 0x08, 0x06, 0, 1, 8, 0, 6, 4,
                                        0, 1, 0, 0x50, 0x56, 1, 2, 3, 10, 1, 0, 9, 0, 0, 0, 0, 0, 0, 10, 1, 0, 200};
        uint8_t ipv4[60] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x50, 0x56, 1, 2, 3, 0x08, 0x00, 0x45};
        uint8_t ipv6[60] = {0x33, 0x33, 0, 0, 0, 1, 0, 0x50, 0x56, 1, 2, 3, 0x86, 0xDD};
        while (!stop) {
            if (WrenSimPendingBuffers(u"sim-lan-a") > 32) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            WrenSimInjectFrame(u"sim-lan-a", arp, sizeof arp);
            WrenSimInjectFrame(u"sim-lan-a", ipv4, sizeof ipv4);
            WrenSimInjectFrame(u"sim-lan-a", ipv6, sizeof ipv6);
        }
    }
    void Read(const std::atomic<bool>& stop) {
        uint8_t packet[2048];
        while (!stop) {
            if (!vtest::Readable(fd, 10)) continue;
            int e = 0;
            for (int n; (n = vifnet32_read_ex(fd, packet, sizeof packet, &e)) > 0;)
                packets += n == 46;
            if (e != 60) ++faults;
        }
    }
    void Write(const std::atomic<bool>& stop) {
        uint8_t packet[100] = {0x45, 0, 0, 100, 0, 0, 0, 0, 64, 17, 0, 0, 10, 1, 0, 200, 10, 1, 0, 255};
        for (unsigned i = 0; !stop; ++i) {
            const bool batch = i % 4 == 0;
            if (batch && vifnet32_beg_write_multi(fd, 4096) != 0) ++faults;
            for (int k = 0; k < (batch ? 20 : 1); ++k)
                if (vifnet32_write(fd, packet, sizeof packet) != int(sizeof packet)) ++faults;
            if (batch && vifnet32_end_write_multi(fd) != 0) ++faults;
            if (i % 64 == 0) WrenSimClearSent(u"sim-lan-a");
        }
    }

    int fd = -1;
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> faults{0};
};

}  // namespace

TEST(Stress, ThreadsOpenNameConfigureAndCloseInterfacesAtOnce) {
    OutputWatch& output = OutputWatch::Instance();
    vifnet32_set_debug_output_func(&OutputWatch::Sink);

    std::vector<Worker> workers;
    for (int i = 0; i < kThreads; ++i)
        workers.emplace_back(i);
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    auto traffic = std::make_unique<Traffic>();
    std::vector<std::thread> flows;
    flows.emplace_back([&] { traffic->Feed(stop); });
    flows.emplace_back([&] { traffic->Read(stop); });
    flows.emplace_back([&] { traffic->Write(stop); });
    std::vector<std::thread> threads;
    for (Worker& worker : workers) {
        threads.emplace_back([&worker, &stop, &finished] {
            while (!stop.load() && worker.cycles < kMaxCyclesPerThread && worker.faults < 100)
                worker.Cycle();
            ++finished;
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + kRunFor;
    while (std::chrono::steady_clock::now() < deadline && finished.load() < kThreads)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    for (std::thread& flow : flows)
        flow.join();
    EXPECT_EQ(traffic->faults, 0u);
    EXPECT_GT(traffic->packets, 0u);
    std::printf("%llu packets read by the traffic interface\n", static_cast<unsigned long long>(traffic->packets.load()));
    traffic.reset();

    uint64_t cycles = 0;
    std::set<std::string> names;
    for (const Worker& worker : workers) {
        EXPECT_EQ(worker.faults, 0u) << worker.firstFaults;
        EXPECT_GT(worker.cycles, 0u);
        cycles += worker.cycles;
        for (const std::string& name : worker.names)
            EXPECT_TRUE(names.insert(name).second) << name << " handed out twice";
    }
    std::printf("%llu cycles in %d threads, %llu messages\n", static_cast<unsigned long long>(cycles), kThreads,
                static_cast<unsigned long long>(output.messages));

    // With nothing open, the next name still goes past every one handed out, and a descriptor
    // closed twice is unknown the second time.
    int e = 0;
    const int fd = vifnet32_open_ex("10.1.0.2", VIFNET32_O_RDWR, &e);
    ASSERT_GE(fd, 0) << e;
    vifnet32_ifreq req{};
    req.ifr_flags = VIFNET32_IFF_TUN;
    ASSERT_EQ(vifnet32_ioctl_ex(fd, VIFNET32_TUNSETIFF, &req, &e), 0) << e;
    for (const std::string& name : names) {
        if (name.compare(0, 3, "tun") != 0) continue;
        EXPECT_GT(std::atoi(req.ifr_name + 3), std::atoi(name.c_str() + 3)) << req.ifr_name;
    }
    EXPECT_EQ(vifnet32_close_ex(fd, &e), 0);
    EXPECT_EQ(vifnet32_close_ex(fd, &e), -1);
    EXPECT_EQ(e, 9);
    EXPECT_EQ(WrenSimOpenCount(u"sim-lan-a"), 0u);
    EXPECT_EQ(WrenSimOpenCount(u"sim-lan-b"), 0u);

    vifnet32_set_debug_output_func(nullptr);
    EXPECT_TRUE(output.faults.empty()) << testing::PrintToString(output.faults);
    // Every thread's first cycle is traced: at least that many banners, each with its dump.
    EXPECT_GE(output.banners, static_cast<uint64_t>(kThreads));
    EXPECT_GE(output.dumps, output.banners);
}
