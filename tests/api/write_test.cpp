// Writing as a caller does it, checked against what the simulated driver recorded: the TUN
// framing and its destination MAC, the length rules, refused writes, and multi-write batches.
// TUN destinations are only ones the library resolves without asking the network.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <tuple>
#include <vector>

#include "test_support.h"

using vtest::CaptureMessages;
using vtest::StartsWith;
using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;
using Lines = std::vector<std::string>;

namespace {

const char16_t kLanA[] = u"sim-lan-a";
const char16_t kLanC[] = u"sim-lan-c";
const Mac kHostA = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
// The Tarn MACs that follow 10.1.0.77 and 10.1.0.88.
const Mac kTarn77 = {0x02, 0x00, 0x5E, 0x81, 0x00, 0x4D}, kTarn88 = {0x02, 0x00, 0x5E, 0x81, 0x00, 0x58};

// An interface with a Tarn address, brought up (its announcements cleared). On sim-lan-a unless
// `lanC`.
struct Iface : vtest::Iface {
    Iface(int type, uint8_t tarnHost, int openFlags = VIFNET32_O_RDWR, bool up = true, bool lanC = false)
        : vtest::Iface(type, openFlags, lanC ? "172.16.4.2" : "10.1.0.2"), lan(lanC ? kLanC : kLanA) {
        const uint8_t sin[8] = {VIFNET32_AF_INET, 0, 0, 0, uint8_t(lanC ? 172 : 10), uint8_t(lanC ? 16 : 1), uint8_t(lanC ? 4 : 0), tarnHost};
        EXPECT_EQ(Set(VIFNET32_SIOCSIFDSTADDR, sin, sizeof sin), 0);
        EXPECT_EQ(SetFlags(up ? VIFNET32_IFF_UP : 0), 0);
        WrenSimClearSent(lan);
    }
    int Write(const Bytes& b) const { return vifnet32_write(fd, b.data(), static_cast<int>(b.size())); }
    const char16_t* lan;
};

// `length` bytes of a pattern; a TUN packet's destination at bytes 16-19.
Bytes Packet(size_t length, std::array<uint8_t, 4> dest = {}, uint8_t seed = 0) {
    Bytes b(length);
    for (size_t i = 0; i < length; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + seed);
    if (length >= 20) std::copy(dest.begin(), dest.end(), b.begin() + 16);
    return b;
}

// Send number `index` of the adapter; `kind` gets WRENSIM_SENT_FRAME or _BATCH.
Bytes Sent(const char16_t* lan, uint32_t index, int* kind = nullptr) {
    Bytes b(65536);
    uint32_t length = 0;
    const int k = WrenSimGetSent(lan, index, b.data(), static_cast<uint32_t>(b.size()), &length);
    if (kind) *kind = k;
    b.resize(length);
    return b;
}

Mac Dest(const Bytes& frame) {
    Mac m{};
    std::copy_n(frame.begin(), std::min<size_t>(6, frame.size()), m.begin());
    return m;
}

// A TUN frame as it should go out.
Bytes Frame(const Mac& dest, const Mac& src, const Bytes& packet) {
    Bytes f(dest.begin(), dest.end());
    f.insert(f.end(), src.begin(), src.end());
    f.insert(f.end(), {0x08, 0x00});
    f.insert(f.end(), packet.begin(), packet.end());
    return f;
}

// A batch as the driver receives it: records of {0, 0, length, 0} and the frame, packed.
Bytes Batch(const std::vector<Bytes>& frames) {
    Bytes b;
    for (const Bytes& f : frames) {
        const uint32_t header[4] = {0, 0, static_cast<uint32_t>(f.size()), 0};
        b.insert(b.end(), reinterpret_cast<const uint8_t*>(header), reinterpret_cast<const uint8_t*>(header + 4));
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

void ExpectPair(int err, unsigned code) {
    EXPECT_EQ(errno, err);
    EXPECT_EQ(vtest::LastError(), code);
}

}  // namespace

TEST(Write, TunFramesTakeTheirDestinationMacFromTheRules) {
    CaptureMessages messages;
    Iface peer(VIFNET32_IFF_TUN, 88);
    Iface vf(VIFNET32_IFF_TUN, 77);
    const VIFNET32_STATS before = vf.Stats();
    const std::pair<Bytes, Mac> cases[] = {
        {Packet(60, {10, 1, 0, 255}), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},  // subnet broadcast
        {Packet(40, {10, 1, 0, 2}), kHostA},                                  // the host adapter's address
        {Packet(20, {10, 1, 0, 88}), kTarn88},                                // a Tarn address of this process
        {Packet(100, {192, 0, 2, 1}), kHostA},                                // off-subnet, no gateway
        {Packet(19), kHostA},                                                 // too short to name one
    };
    uint32_t i = 0;
    for (const auto& [packet, dest] : cases) {
        ASSERT_EQ(vf.Write(packet), static_cast<int>(packet.size())) << i;
        int kind = 0;
        EXPECT_EQ(Sent(kLanA, i, &kind), Frame(dest, kTarn77, packet)) << i;
        EXPECT_EQ(kind, WRENSIM_SENT_FRAME);
        ++i;
    }
    const VIFNET32_STATS s = vf.Stats();
    EXPECT_EQ(s.n64WriteCalls - before.n64WriteCalls, 5u);
    EXPECT_EQ(s.n64WriteAttempts - before.n64WriteAttempts, 5u);
    EXPECT_EQ(s.n64PacketsWritten - before.n64PacketsWritten, 5u);
    EXPECT_EQ(s.n64BytesWritten - before.n64BytesWritten, 5 * 14 + 60 + 40 + 20 + 100 + 19u);
    EXPECT_EQ(s.n64ZeroDestMACWritten + s.n64ZeroSrcMACWritten, 0u);
    EXPECT_TRUE(messages.Take().empty());

    // sim-lan-c's gateway is sim-lan-b: off-subnet goes to its MAC, but the gateway itself is
    // not looked up and goes to the host adapter.
    Iface c(VIFNET32_IFF_TUN, 9, VIFNET32_O_RDWR, true, true);
    ASSERT_EQ(c.Write(Packet(30, {198, 51, 100, 7})), 30);
    ASSERT_EQ(c.Write(Packet(30, {192, 168, 7, 1})), 30);
    ASSERT_EQ(WrenSimSentCount(kLanC), 2u);
    EXPECT_EQ(Dest(Sent(kLanC, 0)), (Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(Dest(Sent(kLanC, 1)), (Mac{0x02, 0x66, 0x77, 0x88, 0x99, 0xAA}));
}

TEST(Write, LengthsAreBoundedByTheMtu) {
    CaptureMessages messages;
    {
        Iface tap(VIFNET32_IFF_TAP, 77);
        const Bytes full = Packet(1514), trailed = Packet(1518, {}, 1);
        const VIFNET32_STATS before = tap.Stats();
        EXPECT_EQ(tap.Write(full), 1514);
        EXPECT_EQ(tap.Write(trailed), 1518);
        EXPECT_EQ(tap.Write(Bytes(1, 0)), 1);  // no lower bound; too short to count zero MACs
        EXPECT_EQ(tap.Write(Bytes(60, 0)), 60);
        EXPECT_EQ(Sent(kLanA, 0), full);
        EXPECT_EQ(Sent(kLanA, 1), Bytes(trailed.begin(), trailed.begin() + 1514));
        const VIFNET32_STATS after = tap.Stats();
        EXPECT_EQ(after.n64BytesWritten - before.n64BytesWritten, 1514u + 1514 + 1 + 60);
        EXPECT_EQ(after.n64ZeroDestMACWritten, 1u);
        EXPECT_EQ(after.n64ZeroSrcMACWritten, 1u);
        messages.Take();
        // A negative length is refused as given, never wrapped round to a short frame.
        for (int length : {1515, -1}) {
            errno = 0;
            EXPECT_EQ(vifnet32_write(tap.fd, full.data(), length), -1);
            ExpectPair(22, 87);
            EXPECT_EQ(messages.Take(), Lines{tap.Msg("Write", "Error: Write length " + std::to_string(length) + " outside 60-1518 range\n")});
        }
    }
    Iface tun(VIFNET32_IFF_TUN, 77);
    EXPECT_EQ(tun.Write(Packet(1500, {10, 1, 0, 255})), 1500);
    errno = 0;
    EXPECT_EQ(tun.Write(Packet(1501, {10, 1, 0, 255})), -1);
    ExpectPair(22, 87);
    EXPECT_EQ(messages.Take(), Lines{tun.Msg("Write", "Error: Write length 1501 outside 60-1500 range\n")});
    EXPECT_EQ(WrenSimSentCount(kLanA), 1u);
}

TEST(Write, RefusedAndFailedWritesSendNothing) {
    CaptureMessages messages;
    const Bytes packet = Packet(40, {10, 1, 0, 255});
    {
        Iface down(VIFNET32_IFF_TUN, 77, VIFNET32_O_RDWR, false);
        Iface readOnly(VIFNET32_IFF_TUN, 78, VIFNET32_O_RDONLY | _O_VF32NOTIFY);
        messages.Take();
        const std::tuple<const Iface&, const void*, int, int, unsigned, std::string> cases[] = {
            {down, packet.data(), 40, 13, 5, "Error: Interface not UP\n"},
            {readOnly, packet.data(), 40, 30, 19, "Error: Interface is read-only\n"},
            {down, nullptr, 40, 22, 87, "Error: Invalid parameters\n"},
            {readOnly, packet.data(), 0, 22, 87, "Error: Invalid parameters\n"},
        };
        for (const auto& [vf, data, length, err, code, message] : cases) {
            errno = 0;
            EXPECT_EQ(vifnet32_write(vf.fd, data, length), -1) << message;
            ExpectPair(err, code);
            EXPECT_EQ(messages.Take(), Lines{vf.Msg("Write", message)});
        }
        EXPECT_EQ(WrenSimSentCount(kLanA), 0u);
    }
    // A send the driver refuses moves only the call and attempt counters.
    Iface vf(VIFNET32_IFF_TUN, 77);
    const VIFNET32_STATS before = vf.Stats();
    messages.Take();
    WrenSimFail(WRENSIM_OP_SEND_PACKET, 0, 1, 5, 31);
    errno = 0;
    EXPECT_EQ(vf.Write(packet), -1);
    ExpectPair(5, 31);
    const Lines lines = messages.Take();
    ASSERT_EQ(lines.size(), 2u);  // the adapter's line, then the interface's
    EXPECT_TRUE(StartsWith(lines[1], vf.Msg("WritePacket", "WriteAdapter failed; rc=31: "))) << lines[1];
    const VIFNET32_STATS after = vf.Stats();
    EXPECT_EQ(after.n64WriteCalls - before.n64WriteCalls, 1u);
    EXPECT_EQ(after.n64WriteAttempts - before.n64WriteAttempts, 1u);
    EXPECT_EQ(after.n64PacketsWritten, before.n64PacketsWritten);
    EXPECT_EQ(after.n64BytesWritten, before.n64BytesWritten);
}

TEST(MultiWrite, BatchIsSentAsPackedRecordsInOneCall) {
    CaptureMessages messages;
    Iface vf(VIFNET32_IFF_TAP, 77);
    errno = 0;
    EXPECT_EQ(vifnet32_beg_write_multi(vf.fd, 1514 + 16 - 1), -1);
    ExpectPair(22, 87);
    EXPECT_EQ(messages.Take(), Lines{vf.Msg("BegMultiWrite", "a buffer size of 1529 is too small\n")});

    // Closed or empty batches send and count nothing.
    const VIFNET32_STATS start = vf.Stats();
    EXPECT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    EXPECT_EQ(vifnet32_beg_write_multi(vf.fd, 1530), 0);
    EXPECT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    const VIFNET32_STATS unchanged = vf.Stats();
    EXPECT_EQ(std::memcmp(&start, &unchanged, sizeof start), 0);

    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 65536), 0);
    std::vector<Bytes> frames;
    for (uint8_t i = 0; i < 10; ++i) {
        frames.push_back(Packet(100, {}, i));
        ASSERT_EQ(vf.Write(frames.back()), 100);
    }
    EXPECT_EQ(WrenSimSentCount(kLanA), 0u);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    int kind = 0;
    EXPECT_EQ(Sent(kLanA, 0, &kind), Batch(frames));
    EXPECT_EQ(kind, WRENSIM_SENT_BATCH);
    const VIFNET32_STATS after = vf.Stats();
    EXPECT_EQ(after.n64PacketsWritten - start.n64PacketsWritten, 10u);
    EXPECT_EQ(after.n64BytesWritten - start.n64BytesWritten, 1160u);
    EXPECT_EQ(after.n64WriteCalls - start.n64WriteCalls, 1u);
    EXPECT_EQ(after.n64WriteAttempts, start.n64WriteAttempts);
    EXPECT_TRUE(messages.Take().empty());
}

TEST(MultiWrite, FullOrRefusedBatchesKeepTheirFrames) {
    CaptureMessages messages;
    Iface vf(VIFNET32_IFF_TAP, 77);
    const std::vector<Bytes> big = {Packet(1514, {}, 1), Packet(1514, {}, 2), Packet(1514, {}, 3)};
    // Room for one largest frame: each write sends the one before.
    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 1544), 0);
    for (const Bytes& f : big)
        ASSERT_EQ(vf.Write(f), 1514);
    EXPECT_EQ(WrenSimSentCount(kLanA), 2u);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(Sent(kLanA, i), Batch({big[i]})) << i;
    WrenSimClearSent(kLanA);

    // A refused batch stays open and whole, through a refused EndMultiWrite and a refused
    // flush forced by a write (whose frame is then not queued); the next EndMultiWrite sends it.
    const Bytes small = Packet(200, {}, 4);
    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 3000), 0);
    ASSERT_EQ(vf.Write(big[0]), 1514);
    ASSERT_EQ(vf.Write(small), 200);
    const VIFNET32_STATS before = vf.Stats();
    messages.Take();
    WrenSimFail(WRENSIM_OP_SEND_MANY_PACKETS, 0, 2, 5, 31);
    errno = 0;
    EXPECT_EQ(vifnet32_end_write_multi(vf.fd), -1);
    ExpectPair(5, 31);
    const Lines lines = messages.Take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(StartsWith(lines[1], vf.Msg("EndMultiWrite", "WriteMultiplePackets failed; rc=31: "))) << lines[1];
    const VIFNET32_STATS failed = vf.Stats();
    EXPECT_EQ(failed.n64WriteCalls - before.n64WriteCalls, 1u);
    EXPECT_EQ(failed.n64PacketsWritten, before.n64PacketsWritten);
    EXPECT_EQ(failed.n64BytesWritten, before.n64BytesWritten);
    errno = 0;
    EXPECT_EQ(vf.Write(big[1]), -1);
    ExpectPair(5, 31);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    ASSERT_EQ(WrenSimSentCount(kLanA), 1u);
    EXPECT_EQ(Sent(kLanA, 0), Batch({big[0], small}));
    const VIFNET32_STATS after = vf.Stats();
    EXPECT_EQ(after.n64WriteCalls - before.n64WriteCalls, 3u);
    EXPECT_EQ(after.n64PacketsWritten - before.n64PacketsWritten, 2u);
    EXPECT_EQ(after.n64BytesWritten - before.n64BytesWritten, 1514u + 200 + 32);
    EXPECT_EQ(after.n64WriteAttempts, before.n64WriteAttempts);
}
