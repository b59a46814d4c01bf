// Per-frame costs of the library on the simulated packet driver: reads from receive buffers, TUN
// and TAP writes, batches, and the checksum, one thread each; then the path an emulator uses, one
// thread blocking in vifnet32_read while another injects frames. Rates are frames (items) or
// bytes per second; the emulator's latency is in microseconds.
//
// TUN writes look their destination up in the host's neighbour table. As root, the program
// moves into a network namespace of its own before anything else runs and makes a veth pair
// there, whose host end holds permanent entries for the on-link peer and the gateway; the
// namespace goes with the process. Without it those two benchmarks report why they were
// skipped. Nothing is ever sent: frames end in the simulated driver.
#include <benchmark/benchmark.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vifnet32.h"
#include "wrensim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char16_t kLan[] = u"bench-lan";
const char kLanIP[] = "10.213.0.1";
const std::uint8_t kLanMAC[6] = {0x02, 0x00, 0x00, 0xBE, 0x00, 0x01};
const std::uint8_t kPeerMAC[6] = {0x02, 0x00, 0x00, 0xBE, 0x00, 0x07};
const std::array<std::uint8_t, 4> kTarnIP = {10, 213, 0, 77};
const std::array<std::uint8_t, 4> kOnLinkIP = {10, 213, 0, 7};     // peer, a permanent neighbour
const std::array<std::uint8_t, 4> kOffLinkIP = {198, 51, 100, 7};  // reached through the gateway
const std::array<std::uint8_t, 4> kGatewayIP = {10, 213, 0, 254};  // a permanent neighbour too

std::string g_noNeighbours = "the network namespace was not set up";

bool Sh(const std::string& command) { return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0; }

void MakeNamespace() {
    if (geteuid() != 0) return void(g_noNeighbours = "needs root, for a network namespace of its own");
    if (unshare(CLONE_NEWNET) != 0) return void(g_noNeighbours = "unshare(CLONE_NEWNET) failed");
    // No IPv6 on the link, so nothing at all moves on it.
    Sh("echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6");
    if (Sh("ip link add vfbench0 type veth peer name vfbench1 && ip addr add 10.213.0.1/24 dev vfbench0 && "
           "ip link set vfbench1 up && ip link set vfbench0 up && "
           "ip neigh replace 10.213.0.7 lladdr 02:00:00:be:00:07 dev vfbench0 nud permanent && "
           "ip neigh replace 10.213.0.254 lladdr 02:00:00:be:00:fe dev vfbench0 nud permanent"))
        g_noNeighbours.clear();
    else
        g_noNeighbours = "the ip commands failed";
}

void DeclareAdapter() {
    ADAPTER_INFO_LIST_ENTRY entry{};
    std::u16string(kLan).copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
    std::u16string(kLan).copy(entry.szDescription, WP_ADAPTER_DESCRIPTION_CHARS - 1);
    std::memcpy(entry.MACAddr, kLanMAC, 6);
    const std::uint8_t ip[4] = {10, 213, 0, 1}, mask[4] = {255, 255, 255, 0};
    std::memcpy(&entry.IPAddr, ip, 4);
    std::memcpy(&entry.IPMask, mask, 4);
    std::memcpy(&entry.GatewayIPAddr, kGatewayIP.data(), 4);
    entry.nMaxFrameSize = 1514;
    entry.nIfIndex = 1;
    WrenSimReset();
    WrenSimAddAdapter(&entry);
}

// One interface on the benchmark adapter, up, with a Tarn address; closed at the end.
class Iface {
public:
    Iface(int type, int readTimeout = 1000) : fd(vifnet32_open(kLanIP, VIFNET32_O_RDWR)) {
        vifnet32_ifreq req{};
        req.ifr_flags = static_cast<std::uint16_t>(type);
        ok = fd >= 0 && vifnet32_ioctl(fd, VIFNET32_TUNSETIFF, &req) == 0;
        name = req.ifr_name;
        const std::uint8_t sin[8] = {VIFNET32_AF_INET, 0, 0, 0, kTarnIP[0], kTarnIP[1], kTarnIP[2], kTarnIP[3]};
        ok = ok && Set(VIFNET32_SIOCSIFDSTADDR, sin, sizeof sin) == 0;
        ok = ok && Set(VIFNET32_IFCTL_SETREADTIMEOUT, &readTimeout, 4) == 0;
        const std::uint32_t up = VIFNET32_IFF_UP;
        ok = ok && Set(VIFNET32_SIOCSIFFLAGS, &up, 4) == 0;
        vifnet32_ifreq hw{};
        std::strcpy(hw.ifr_name, name.c_str());
        ok = ok && vifnet32_ioctl(fd, VIFNET32_SIOCGIFHWADDR, &hw) == 0;
        std::memcpy(mac, hw.ifr_hwaddr.sa_data, 6);
        WrenSimClearSent(kLan);
    }
    ~Iface() {
        if (fd >= 0) vifnet32_close(fd);
        WrenSimClearSent(kLan);
    }
    int Set(int code, const void* data, std::size_t size) const {
        vifnet32_ifreq rec{};
        std::strcpy(rec.ifr_name, name.c_str());
        std::memcpy(reinterpret_cast<std::uint8_t*>(&rec) + 16, data, size);
        return vifnet32_ioctl(fd, code, &rec);
    }

    int fd;
    bool ok = false;
    std::string name;
    std::uint8_t mac[6] = {};
};

// A receive buffer as the driver fills it: capture records of `frameSize`-byte frames to the
// interface's MAC, as many as fit in the library's default 64 KiB buffers.
Bytes ReceiveBuffer(const std::uint8_t* dest, std::uint32_t frameSize, std::uint32_t& frames) {
    constexpr std::uint32_t kBufferBytes = 65536;
    const std::uint32_t record = WP_CAPTURE_ALIGN(sizeof(WP_CAPTURE_HEADER) + frameSize);
    frames = kBufferBytes / record;
    Bytes buffer(std::size_t{frames} * record, 0);
    for (std::uint32_t i = 0; i < frames; ++i) {
        std::uint8_t* at = buffer.data() + std::size_t{i} * record;
        WP_CAPTURE_HEADER h{};
        h.bh_caplen = h.bh_datalen = frameSize;
        h.bh_hdrlen = sizeof h;
        std::memcpy(at, &h, sizeof h);
        std::uint8_t* frame = at + sizeof h;
        std::memcpy(frame, dest, 6);
        std::memcpy(frame + 6, kPeerMAC, 6);
        frame[12] = 0x08;
        for (std::uint32_t b = 14; b < frameSize; ++b)
            frame[b] = static_cast<std::uint8_t>(b + i);
    }
    return buffer;
}

// Frames delivered by vifnet32_read from receive buffers of frames of the given size. The
// driver is kept a few buffers ahead: one buffer injected per buffer's worth of frames read.
// The rates are of wall-clock time: the adapter's reader thread fills the buffers on another
// core, and a read that waits for it must count. (Google Benchmark's own real-time mode would
// rename the benchmark.)
void ReadTap(benchmark::State& state, std::uint32_t frameSize) {
    Iface tap(VIFNET32_IFF_TAP);
    if (!tap.ok) return state.SkipWithError("interface set-up failed");
    std::uint32_t perBuffer = 0;
    const Bytes buffer = ReceiveBuffer(tap.mac, frameSize, perBuffer);
    constexpr int kAhead = 4;
    for (int i = 0; i < kAhead; ++i)
        WrenSimInjectBuffer(kLan, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    std::uint8_t out[2048];
    std::uint32_t sinceInject = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int n = vifnet32_read(tap.fd, out, sizeof out);
        if (n != static_cast<int>(frameSize)) return state.SkipWithError("a read returned no frame");
        if (++sinceInject == perBuffer) {
            sinceInject = 0;
            WrenSimInjectBuffer(kLan, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto frames = static_cast<double>(state.iterations());
    state.counters["items_per_second"] = benchmark::Counter(frames / seconds);
    state.counters["bytes_per_second"] = benchmark::Counter(frames * frameSize / seconds, benchmark::Counter::kDefaults,
                                                            benchmark::Counter::kIs1024);
}
BENCHMARK_CAPTURE(ReadTap, tap60, 60)->Name("read/tap60");
BENCHMARK_CAPTURE(ReadTap, tap1514, 1514)->Name("read/tap1514");

// A TUN packet of `length` bytes to `dest`.
Bytes Packet(std::uint32_t length, const std::array<std::uint8_t, 4>& dest) {
    Bytes p(length, 0);
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(length >> 8);
    p[3] = static_cast<std::uint8_t>(length);
    p[8] = 64;
    p[9] = 17;
    std::copy(kTarnIP.begin(), kTarnIP.end(), p.begin() + 12);
    std::copy(dest.begin(), dest.end(), p.begin() + 16);
    return p;
}

// The simulated driver records every send for the tests; the record is dropped now and then
// so that it stays small.
constexpr std::int64_t kClearSentEvery = 1024;

// Packets through vifnet32_write, each framed with the destination's MAC from the host's
// neighbour table (directly, or the gateway's).
void WriteTun(benchmark::State& state, const std::array<std::uint8_t, 4>& dest) {
    if (!g_noNeighbours.empty()) return state.SkipWithError(g_noNeighbours.c_str());
    Iface tun(VIFNET32_IFF_TUN);
    if (!tun.ok) return state.SkipWithError("interface set-up failed");
    const Bytes packet = Packet(64, dest);
    // The first write finds the destination; check it reached the neighbour table's MAC.
    if (vifnet32_write(tun.fd, packet.data(), 64) != 64) return state.SkipWithError("a write failed");
    std::uint8_t frame[64 + 14];
    std::uint32_t length = 0;
    const std::uint8_t expected = dest == kOnLinkIP ? 0x07 : 0xFE;
    if (WrenSimGetSent(kLan, 0, frame, sizeof frame, &length) != WRENSIM_SENT_FRAME || frame[5] != expected)
        return state.SkipWithError("the write did not reach the neighbour's MAC");
    std::int64_t sent = 0;
    for (auto _ : state) {
        if (vifnet32_write(tun.fd, packet.data(), 64) != 64) return state.SkipWithError("a write failed");
        if (++sent % kClearSentEvery == 0) WrenSimClearSent(kLan);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK_CAPTURE(WriteTun, tun_onlink, kOnLinkIP)->Name("write/tun_onlink");
BENCHMARK_CAPTURE(WriteTun, tun_offlink, kOffLinkIP)->Name("write/tun_offlink");

// A 60-byte frame from the guest's MAC to the LAN peer.
Bytes FrameFromGuest(const Iface& tap) {
    Bytes frame(60, 0x5A);
    std::memcpy(frame.data(), kPeerMAC, 6);
    std::memcpy(frame.data() + 6, tap.mac, 6);
    return frame;
}

// A 60-byte TAP frame alone per vifnet32_write: the write path without any look-up.
void WriteTap(benchmark::State& state) {
    Iface tap(VIFNET32_IFF_TAP);
    if (!tap.ok) return state.SkipWithError("interface set-up failed");
    const Bytes frame = FrameFromGuest(tap);
    std::int64_t sent = 0;
    for (auto _ : state) {
        if (vifnet32_write(tap.fd, frame.data(), 60) != 60) return state.SkipWithError("a write failed");
        if (++sent % kClearSentEvery == 0) WrenSimClearSent(kLan);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(WriteTap)->Name("write/tap60");

// Batches of 64 TAP frames of 60 bytes: beg_write_multi, 64 writes, end_write_multi.
void WriteMulti(benchmark::State& state) {
    constexpr int kFrames = 64;
    Iface tap(VIFNET32_IFF_TAP);
    if (!tap.ok) return state.SkipWithError("interface set-up failed");
    const Bytes frame = FrameFromGuest(tap);
    std::int64_t batches = 0;
    for (auto _ : state) {
        if (vifnet32_beg_write_multi(tap.fd, 65536) != 0) return state.SkipWithError("beg_write_multi failed");
        for (int i = 0; i < kFrames; ++i)
            if (vifnet32_write(tap.fd, frame.data(), 60) != 60) return state.SkipWithError("a write failed");
        if (vifnet32_end_write_multi(tap.fd) != 0) return state.SkipWithError("end_write_multi failed");
        if (++batches % kClearSentEvery == 0) WrenSimClearSent(kLan);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kFrames);
}
BENCHMARK(WriteMulti)->Name("write/multi");

void Checksum(benchmark::State& state) {
    Bytes packet(1500);
    for (std::size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<std::uint8_t>(i * 31 + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.data());
        benchmark::DoNotOptimize(vifnet32_calc_checksum(packet.data(), 1500));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1500);
}
BENCHMARK(Checksum)->Name("checksum/1500");

// An emulator's receiving thread: blocks in vifnet32_read and notes when each frame came back.
class BlockingReader {
public:
    explicit BlockingReader(const Iface& tap) : m_fd(tap.fd), m_thread([this] { Run(); }) {}
    ~BlockingReader() {
        m_stop.store(true);
        m_thread.join();  // within the read timeout
    }
    std::uint64_t Frames() const { return m_frames.load(std::memory_order_acquire); }
    // Until more than `seen` frames came back (in the kernel, as an emulator's other threads
    // would: the reader thread and the adapter's own need the cores).
    void WaitPast(std::uint64_t seen) const {
        for (std::uint64_t now = Frames(); now <= seen; now = Frames())
            m_frames.wait(now, std::memory_order_acquire);
    }
    std::chrono::steady_clock::time_point LastReturn() const { return m_last; }

private:
    void Run() {
        std::uint8_t out[2048];
        while (!m_stop.load(std::memory_order_relaxed)) {
            if (vifnet32_read(m_fd, out, sizeof out) <= 0) continue;
            m_last = std::chrono::steady_clock::now();
            m_frames.fetch_add(1, std::memory_order_release);
            m_frames.notify_one();
        }
    }

    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_frames{0};
    std::chrono::steady_clock::time_point m_last;
    std::thread m_thread;
};

// Frames one at a time, each injected a gap after the last came back: the time from the
// injection to the reader's return, median and 99th percentile. With gaps of a millisecond
// (the pings of the end-to-end runs are 2 ms apart) nothing is waiting when a frame comes.
void EmulatorLatency(benchmark::State& state) {
    Iface tap(VIFNET32_IFF_TAP);
    if (!tap.ok) return state.SkipWithError("interface set-up failed");
    const Bytes frame = FrameFromGuest(tap);
    Bytes toGuest(frame);
    std::memcpy(toGuest.data(), tap.mac, 6);
    std::memcpy(toGuest.data() + 6, kPeerMAC, 6);
    BlockingReader reader(tap);
    std::vector<double> us;
    us.reserve(4096);
    const auto gap = std::chrono::microseconds(state.range(0));
    for (auto _ : state) {
        const std::uint64_t seen = reader.Frames();
        const auto injected = std::chrono::steady_clock::now();
        WrenSimInjectFrame(kLan, toGuest.data(), static_cast<std::uint32_t>(toGuest.size()));
        reader.WaitPast(seen);
        us.push_back(std::chrono::duration<double, std::micro>(reader.LastReturn() - injected).count());
        std::this_thread::sleep_for(gap);
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}
BENCHMARK(EmulatorLatency)->Name("emulator/latency")->Arg(1000)->Iterations(1000)->UseRealTime();

// Frames as fast as the reader takes them, one frame per receive buffer (each costs the whole
// hand-over from the driver to the reader), at most a window's worth outstanding.
void EmulatorStream(benchmark::State& state) {
    constexpr std::uint64_t kOutstanding = 8;
    Iface tap(VIFNET32_IFF_TAP);
    if (!tap.ok) return state.SkipWithError("interface set-up failed");
    Bytes toGuest = FrameFromGuest(tap);
    std::memcpy(toGuest.data(), tap.mac, 6);
    std::memcpy(toGuest.data() + 6, kPeerMAC, 6);
    BlockingReader reader(tap);
    std::uint64_t injected = 0;
    for (auto _ : state) {
        if (injected >= reader.Frames() + kOutstanding) reader.WaitPast(injected - kOutstanding);
        WrenSimInjectFrame(kLan, toGuest.data(), static_cast<std::uint32_t>(toGuest.size()));
        ++injected;
    }
    reader.WaitPast(injected - 1);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(EmulatorStream)->Name("emulator/stream")->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Before the library starts a thread or reads the host adapter list.
    MakeNamespace();
    DeclareAdapter();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
