// Many threads of one process opening, naming, configuring and closing interfaces on two shared host adapters at once, with
// the debug output on, while a traced interface carries traffic: checked is what every cycle must get right however they run.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

#include "test_support.h"

namespace {

// Both adapters, each by its address and by its MAC.
const char* const kGateways[] = {"10.1.0.2", "00:1A:2B:3C:4D:5E", "192.168.7.1", "02-11-22-33-44-55"};

constexpr int kThreads = 6;
constexpr auto kRunFor = std::chrono::seconds(3);
// Names are never reused: a bound keeps a fast machine from spending the run on ever longer name searches.
constexpr uint64_t kMaxCyclesPerThread = 4000;

// The output function's view of the messages: each one whole, and the library's multi-message blocks (trace banner with
// its dump, the five-part dump, two-line failures) never split by another thread's messages. Checked as they arrive.
class OutputWatch {
public:
    uint64_t messages = 0, banners = 0, dumps = 0;
    std::vector<std::string> faults;

    void Take(const char* text) {
        std::lock_guard<std::mutex> lock(m_lock);
        ++messages;
        const std::string s = text ? text : "";
        if (s.empty() || s.back() != '\n') return Fault("incomplete message", s);
        if (!vtest::StartsWith(s, m_next)) Fault("block split, expected \"" + m_next + "\"", s);
        m_next.clear();
        if (m_dumpPart > 0 && ++m_dumpPart < 5) {
            m_next = kDumpParts[m_dumpPart];
        } else if (m_dumpPart == 5) {
            if (!s.ends_with("-----------------------------------------------------\n\n"))
                Fault("dump without its closing line", s);
            ++dumps;
            m_dumpPart = 0;
        } else if (vtest::StartsWith(s, kDumpParts[0])) {
            m_next = kDumpParts[m_dumpPart = 1];
        } else if (vtest::StartsWith(s, kBanner)) {
            ++banners;  // the dump that follows is of the same interface
            m_next =
                std::string(kDumpParts[0]) + "\n Virtual Interface Ptr:           " + s.substr(std::strlen(kBanner), 16) + "\n";
        } else if (const size_t at = s.find("::AddTarnVirtIPAddr: Invalid NULL or broadcast IP address\n"); at != s.npos) {
            m_next = s.substr(0, at) + "::AddTarnVirtIPAddr: IN_ADDR = 0.0.0.0\n";
        }
    }

private:
    static constexpr const char* kDumpParts[] = {
        "---------------- Internal variables ----------------\n",
        " Host Physical IP Address:", " MAC Mode:", "----------- Physical Adapter information", " MAC Address:"};
    static constexpr const char* kBanner = "*** BEGIN TRACE *** for Vifnet interface ";

    void Fault(const std::string& what, const std::string& text) {
        if (faults.size() < 5) faults.push_back(what + ": \"" + text.substr(0, 200) + "\"");
    }

    std::mutex m_lock;
    std::string m_next;  // what the next message must begin with
    int m_dumpPart = 0;  // the dump part just seen (1..4), 0 outside a dump
} g_output;

struct Reply {
    int rc = 0, e = 0;
    vifnet32_ifreq rec{};
};

Reply Request(int fd, int code, void* record) {
    int e = 0;
    return {vifnet32_ioctl_ex(fd, code, record, &e), e};
}

// A request on `fd` or by `name`, with `value` as the record's second half.
Reply Request(int fd, const std::string& name, int code, decltype(vifnet32_ifreq::ifr_ifru) value = {}) {
    Reply r;
    name.copy(r.rec.ifr_name, sizeof r.rec.ifr_name - 1);
    r.rec.ifr_ifru = value;
    r.rc = vifnet32_ioctl_ex(fd, code, &r.rec, &r.e);
    return r;
}

vifnet32_sockaddr_in Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {VIFNET32_AF_INET, 0, {a, b, c, d}, {}}; }

// The highest name number handed out so far, for requests by names of other threads' interfaces (open, closed or not yet given).
std::atomic<int> g_highestName{0};

class Worker {
public:
    explicit Worker(int id) : m_id(static_cast<uint8_t>(id)), m_rng(static_cast<unsigned>(1000 + id)) {}

    uint64_t cycles = 0, faults = 0;
    std::string firstFaults;
    std::vector<std::string> names;  // in the order handed out

    void Cycle() {
        const bool tun = m_rng() & 1, notify = m_rng() & 1;
        const int16_t debug = cycles == 0 || m_rng() % 2 == 0 ? VIFNET32_IFF_DEBUG : 0;
        int e = 0;
        const int fd = vifnet32_open_ex(kGateways[m_rng() % 4], VIFNET32_O_RDWR | (notify ? _O_VF32NOTIFY : 0), &e);
        if (!Expect(fd >= 0, "open", {fd, e})) return;
        ++cycles;

        const Reply set = Request(fd, "", VIFNET32_TUNSETIFF, {.ifru_flags = int16_t(tun ? VIFNET32_IFF_TUN : VIFNET32_IFF_TAP)});
        Ok("TUNSETIFF", set);
        const std::string name(set.rec.ifr_name, strnlen(set.rec.ifr_name, sizeof set.rec.ifr_name));
        TakeName(name);
        Ok("SIOCSIFFLAGS", Request(-1, name, VIFNET32_SIOCSIFFLAGS, {.ifru_flags = debug}));
        Ok("SIOCSIFDSTADDR", Request(-1, name, VIFNET32_SIOCSIFDSTADDR, {.ifru_addr_in = Ip(10, 1, 0, 10 + m_id)}));
        Ok("SIOCSIFNETMASK", Request(-1, name, VIFNET32_SIOCSIFNETMASK, {.ifru_addr_in = Ip(255, 255, 255, 0)}));
        Ok("SIOCSIFMTU", Request(-1, name, VIFNET32_SIOCSIFMTU, {.ifru_mtu = 1400 + m_id}));
        Ok("SIOCADDMULTI", Request(-1, name, VIFNET32_SIOCADDMULTI, {.ifru_hwaddr = {0, {0x01, 0x00, 0x5E, 0x00, 0x00, m_id}}}));
        Ok("IFCTL_SETIOBUFSIZE while down", Request(fd, "", VIFNET32_IFCTL_SETIOBUFSIZE, {.ifru_value = 32768}));
        // The guest address sits where a name would.
        Ok("IFCTL_ADDTARNIPADDR", Request(fd, std::string{10, 1, 0, char(20 + m_id)}, VIFNET32_IFCTL_ADDTARNIPADDR));
        if (m_rng() % 4 == 0) Fails("IFCTL_ADDTARNIPADDR 0.0.0.0", Request(fd, "", VIFNET32_IFCTL_ADDTARNIPADDR), 22);
        const Reply mtu = Request(-1, name, VIFNET32_SIOCGIFMTU);
        Expect(mtu.rc == 0 && mtu.rec.ifr_mtu == 1400 + m_id, "SIOCGIFMTU gives this thread's MTU", mtu);

        Ok("SIOCSIFFLAGS up", Request(-1, name, VIFNET32_SIOCSIFFLAGS, {.ifru_flags = int16_t(VIFNET32_IFF_UP | debug)}));
        Fails("IFCTL_SETIOBUFSIZE while up", Request(fd, "", VIFNET32_IFCTL_SETIOBUFSIZE, {.ifru_value = 65536}), 16);
        VIFNET32_STATS stats{};
        stats.dwStructSize = sizeof stats;
        const Reply got = Request(fd, VIFNET32_IFCTL_GETSTATS, &stats);
        Expect(got.rc == 0 && stats.dwStructSize == sizeof stats && stats.dwReadBuffSize == 32768, "IFCTL_GETSTATS", got);

        RequestByOtherName();
        // A failure of another kind at the same moment as the others' unknown-name failures: each thread gets its own errno.
        vifnet32_arpreq arp{{VIFNET32_AF_INET, {}}, {}, VIFNET32_ATF_COM, {}, {}};
        Fails("SIOCGARP", Request(-1, VIFNET32_SIOCGARP, &arp), 2);

        if (m_rng() & 1) Ok("SIOCSIFFLAGS down", Request(-1, name, VIFNET32_SIOCSIFFLAGS));  // otherwise closed while up
        Ok("close", {vifnet32_close_ex(fd, &e), e});
        Fails("request by the closed interface's name", Request(-1, name, VIFNET32_SIOCGIFFLAGS), 9);
    }

private:
    bool Expect(bool ok, const std::string& what, const Reply& r) {
        if (!ok && ++faults <= 5) firstFaults += what + ": rc=" + std::to_string(r.rc) + " errno=" + std::to_string(r.e) + "\n";
        return ok;
    }
    void Ok(const char* what, const Reply& r) { Expect(r.rc == 0, what, r); }
    void Fails(const char* what, const Reply& r, int e) {
        Expect(r.rc == -1 && r.e == e, std::string(what) + " (want " + std::to_string(e) + ")", r);
    }

    void TakeName(const std::string& name) {
        if (!Expect(name.size() > 3, "name \"" + name + "\"", {})) return;
        names.push_back(name);
        const int number = std::atoi(name.c_str() + 3);
        for (int seen = g_highestName.load(); number > seen && !g_highestName.compare_exchange_weak(seen, number);) {
        }
    }

    // A getter by a name that may be another thread's open interface, a closed one or none yet.
    void RequestByOtherName() {
        static const int kGetters[] = {VIFNET32_SIOCGIFFLAGS, VIFNET32_SIOCGIFMTU, VIFNET32_SIOCGIFNETMASK,
                                       VIFNET32_SIOCGIFDSTADDR, VIFNET32_SIOCGIFHWADDR};
        const std::string other =
            std::string(m_rng() & 1 ? "tun" : "tap") + std::to_string(m_rng() % static_cast<unsigned>(g_highestName.load() + 3));
        const Reply r = Request(-1, other, kGetters[m_rng() % 5]);
        Expect(r.rc == 0 || (r.rc == -1 && r.e == 9), "request by other name " + other, r);
    }

    uint8_t m_id;
    std::mt19937 m_rng;
};

// Frames in and out of a traced TUN interface in notify mode on the workers' adapter: the feeder injects ARP requests for its
// address, IPv4 and IPv6 frames; the reader waits and reads until the timeout result; the writer sends singly and in batches.
class Traffic : public vtest::Iface {
public:
    Traffic() : Iface(VIFNET32_IFF_TUN, VIFNET32_O_RDWR | _O_VF32NOTIFY) {
        EXPECT_EQ(Set(VIFNET32_IFCTL_ADDTARNIPADDR, Ip(10, 1, 0, 200).sin_addr, 4, 0), 0);
        EXPECT_EQ(SetValue(VIFNET32_TUNSETDEBUG, 0x8000C0C0u), 0);  // every frame kind, no hex dump
        EXPECT_EQ(SetFlags(VIFNET32_IFF_UP | VIFNET32_IFF_DEBUG), 0);
    }

    void Feed(const std::atomic<bool>& stop) {
        static const uint8_t arp[42] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x50, 0x56, 1, 2, 3, 0x08, 0x06, 0, 1, 8, 0, 6, 4,
                                        0, 1, 0, 0x50, 0x56, 1, 2, 3, 10, 1, 0, 9, 0, 0, 0, 0, 0, 0, 10, 1, 0, 200};
        uint8_t ipv4[60] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x50, 0x56, 1, 2, 3, 0x08, 0x00, 0x45};
        uint8_t ipv6[60] = {0x33, 0x33, 0, 0, 0, 1, 0, 0x50, 0x56, 1, 2, 3, 0x86, 0xDD};
        while (!stop) {
            while (!stop && WrenSimPendingBuffers(u"sim-lan-a") > 32)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

    std::atomic<uint64_t> packets{0}, faults{0};
};

}  // namespace

TEST(Stress, ThreadsOpenNameConfigureAndCloseInterfacesAtOnce) {
    vifnet32_set_debug_output_func([](const char* text) { g_output.Take(text); });
    std::vector<Worker> workers;
    for (int i = 0; i < kThreads; ++i)
        workers.emplace_back(i);
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    auto traffic = std::make_unique<Traffic>();
    std::vector<std::thread> threads;
    for (auto flow : {&Traffic::Feed, &Traffic::Read, &Traffic::Write})
        threads.emplace_back(flow, traffic.get(), std::cref(stop));
    for (Worker& worker : workers)
        threads.emplace_back([&worker, &stop, &finished] {
            while (!stop.load() && worker.cycles < kMaxCyclesPerThread && worker.faults < 100)
                worker.Cycle();
            ++finished;
        });
    const auto deadline = std::chrono::steady_clock::now() + kRunFor;
    while (std::chrono::steady_clock::now() < deadline && finished.load() < kThreads)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(traffic->faults, 0u);
    EXPECT_GT(traffic->packets, 0u);

    std::set<std::string> names;
    for (const Worker& worker : workers) {
        EXPECT_EQ(worker.faults, 0u) << worker.firstFaults;
        EXPECT_GT(worker.cycles, 0u);
        for (const std::string& name : worker.names)
            EXPECT_TRUE(names.insert(name).second) << name << " handed out twice";
    }
    traffic.reset();

    // With nothing open, the next name still goes past every one handed out, and a descriptor closed twice is unknown the
    // second time (~Iface closes it a third time, harmlessly).
    vtest::Iface next(VIFNET32_IFF_TUN);
    for (const std::string& name : names) {
        if (name.compare(0, 3, "tun") != 0) continue;
        EXPECT_GT(std::atoi(next.name.c_str() + 3), std::atoi(name.c_str() + 3)) << next.name;
    }
    int e = 0;
    EXPECT_EQ(vifnet32_close_ex(next.fd, &e), 0);
    EXPECT_EQ(vifnet32_close_ex(next.fd, &e), -1);
    EXPECT_EQ(e, 9);
    EXPECT_EQ(WrenSimOpenCount(u"sim-lan-a"), 0u);
    EXPECT_EQ(WrenSimOpenCount(u"sim-lan-b"), 0u);

    vifnet32_set_debug_output_func(nullptr);
    EXPECT_TRUE(g_output.faults.empty()) << testing::PrintToString(g_output.faults);
    // Every thread's first cycle is traced: at least that many banners, each with its dump.
    EXPECT_GE(g_output.banners, static_cast<uint64_t>(kThreads));
    EXPECT_GE(g_output.dumps, g_output.banners);
}
