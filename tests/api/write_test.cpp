// Writes checked against what the simulated driver recorded; TUN destinations need no network look-up.
#include <gtest/gtest.h>

#include <functional>

#include "test_support.h"

using namespace vtest;
using Mac = std::array<uint8_t, 6>;
using Moved = std::array<uint64_t, 4>;

namespace {

const char16_t kLanA[] = u"sim-lan-a", kLanC[] = u"sim-lan-c";
const Mac kHostA = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
// The Tarn MACs that follow 10.1.0.77 and 10.1.0.88.
const Mac kTarn77 = {0x02, 0x00, 0x5E, 0x81, 0x00, 0x4D}, kTarn88 = {0x02, 0x00, 0x5E, 0x81, 0x00, 0x58};

// An interface with a Tarn address, brought up (its announcements cleared); on sim-lan-c if `lanC`.
struct Dev : Iface {
    Dev(int type, uint8_t tarnHost, int openFlags = VIFNET32_O_RDWR, bool up = true, bool lanC = false)
        : Iface(type, openFlags, lanC ? "172.16.4.2" : "10.1.0.2") {
        const uint8_t a = lanC ? 172 : 10, b = lanC ? 16 : 1, c = lanC ? 4 : 0;
        const uint8_t sin[8] = {VIFNET32_AF_INET, 0, 0, 0, a, b, c, tarnHost};
        EXPECT_EQ(Set(VIFNET32_SIOCSIFDSTADDR, sin, sizeof sin), 0);
        EXPECT_EQ(SetFlags(up ? VIFNET32_IFF_UP : 0), 0);
        WrenSimClearSent(lanC ? kLanC : kLanA);
    }
};

// `length` bytes of a pattern; a TUN packet's destination at bytes 16-19.
Bytes Packet(size_t length, std::array<uint8_t, 4> dest = {}, uint8_t seed = 0) {
    Bytes b(length);
    for (size_t i = 0; i < length; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + seed);
    if (length >= 20) std::copy(dest.begin(), dest.end(), b.begin() + 16);
    return b;
}

Mac Dest(const Bytes& f) { return f.size() < 6 ? Mac{} : Mac{f[0], f[1], f[2], f[3], f[4], f[5]}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes Frame(const Mac& d, const Mac& s, const Bytes& p) { return Cat({{d.begin(), d.end()}, {s.begin(), s.end()}, {8, 0}, p}); }

// A batch as the driver receives it: records of 32-bit {0, 0, length, 0} and the frame, packed.
Bytes Batch(const std::vector<Bytes>& frames) {
    Bytes b;
    for (const Bytes& f : frames)
        b = Cat({b, {0, 0, 0, 0, 0, 0, 0, 0, uint8_t(f.size()), uint8_t(f.size() >> 8), 0, 0, 0, 0, 0, 0}, f});
    return b;
}

void ExpectFails(const std::function<int()>& call, int err, unsigned code) {
    errno = 0;
    EXPECT_EQ(call(), -1);
    EXPECT_EQ(Err(), std::pair(err, code));
}

// How far write calls, attempts, packets and bytes moved between two snapshots.
Moved Delta(const VIFNET32_STATS& a, const VIFNET32_STATS& b) {
    return {b.n64WriteCalls - a.n64WriteCalls, b.n64WriteAttempts - a.n64WriteAttempts, b.n64PacketsWritten - a.n64PacketsWritten,
            b.n64BytesWritten - a.n64BytesWritten};
}

}  // namespace

TEST(Write, TunFramesTakeTheirDestinationMacFromTheRules) {
    CaptureMessages messages;
    Dev peer(VIFNET32_IFF_TUN, 88);
    Dev vf(VIFNET32_IFF_TUN, 77);
    const VIFNET32_STATS before = vf.Stats();
    const std::pair<Bytes, Mac> cases[] = {
        {Packet(60, {10, 1, 0, 255}), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},  // subnet broadcast
        {Packet(40, {10, 1, 0, 2}), kHostA},                                  // the host adapter's address
        {Packet(20, {10, 1, 0, 88}), kTarn88},                                // a Tarn address of this process
        {Packet(100, {192, 0, 2, 1}), kHostA},                                // off-subnet, no gateway
        {Packet(19), kHostA},                                                 // too short to name one
    };
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        ASSERT_EQ(vf.Write(cases[i].first), static_cast<int>(cases[i].first.size())) << i;
        EXPECT_EQ(Sent(kLanA, i), Frame(cases[i].second, kTarn77, cases[i].first)) << i;
    }
    const VIFNET32_STATS s = vf.Stats();
    EXPECT_EQ(Delta(before, s), (Moved{5, 5, 5, 5 * 14 + 60 + 40 + 20 + 100 + 19}));
    EXPECT_EQ(s.n64ZeroDestMACWritten + s.n64ZeroSrcMACWritten, 0u);
    EXPECT_TRUE(messages.Take().empty());

    // sim-lan-c's gateway is sim-lan-b: off-subnet goes to its MAC, but the gateway itself is
    // not looked up and goes to the host adapter.
    Dev c(VIFNET32_IFF_TUN, 9, VIFNET32_O_RDWR, true, true);
    ASSERT_EQ(c.Write(Packet(30, {198, 51, 100, 7})), 30);
    ASSERT_EQ(c.Write(Packet(30, {192, 168, 7, 1})), 30);
    EXPECT_EQ(Dest(Sent(kLanC, 0)), (Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(Dest(Sent(kLanC, 1)), (Mac{0x02, 0x66, 0x77, 0x88, 0x99, 0xAA}));
}

TEST(Write, LengthsUpToTheMtuAreSent) {
    Dev tap(VIFNET32_IFF_TAP, 77);
    const Bytes full = Packet(1514), trailed = Packet(1518, {}, 1);
    const VIFNET32_STATS before = tap.Stats();
    EXPECT_EQ(tap.Write(full), 1514);
    EXPECT_EQ(tap.Write(trailed), 1518);
    EXPECT_EQ(tap.Write(Bytes(14, 0)), 14);  // the shortest: a whole Ethernet header
    EXPECT_EQ(Sent(kLanA, 0), full);
    EXPECT_EQ(Sent(kLanA, 1), Bytes(trailed.begin(), trailed.begin() + 1514));
    const VIFNET32_STATS after = tap.Stats();
    EXPECT_EQ(Delta(before, after), (Moved{3, 3, 3, 1514 + 1514 + 14}));
    EXPECT_EQ(after.n64ZeroDestMACWritten, 1u);
    EXPECT_EQ(after.n64ZeroSrcMACWritten, 1u);
}

TEST(Write, RefusedAndFailedWritesSendNothing) {
    CaptureMessages messages;
    const Bytes packet = Packet(1515, {10, 1, 0, 255});
    {
        Dev tap(VIFNET32_IFF_TAP, 76), tun(VIFNET32_IFF_TUN, 77), down(VIFNET32_IFF_TUN, 79, VIFNET32_O_RDWR, false);
        Dev readOnly(VIFNET32_IFF_TUN, 78, VIFNET32_O_RDONLY | _O_VF32NOTIFY);
        messages.Take();
        const std::tuple<const Dev&, const void*, int, int, unsigned, std::string> cases[] = {
            {tap, packet.data(), 1515, 22, 87, "Error: Write length 1515 outside 60-1518 range\n"},
            // Refused as given, never wrapped round to a short frame.
            {tap, packet.data(), -1, 22, 87, "Error: Write length -1 outside 60-1518 range\n"},
            {tun, packet.data(), 1501, 22, 87, "Error: Write length 1501 outside 60-1500 range\n"},
            {tap, packet.data(), 13, 22, 87, "Error: Frame of 13 bytes is shorter than an Ethernet header\n"},
            {down, packet.data(), 40, 13, 5, "Error: Interface not UP\n"},
            {readOnly, packet.data(), 40, 30, 19, "Error: Interface is read-only\n"},
            {down, nullptr, 40, 22, 87, "Error: Invalid parameters\n"},
            {readOnly, packet.data(), 0, 22, 87, "Error: Invalid parameters\n"},
        };
        for (const auto& [vf, data, length, err, code, message] : cases) {
            ExpectFails([&] { return vifnet32_write(vf.fd, data, length); }, err, code);
            EXPECT_EQ(messages.Take(), Lines{vf.Msg("Write", message)});
        }
        EXPECT_EQ(WrenSimSentCount(kLanA), 0u);
    }
    // A send the driver refuses moves only the call and attempt counters.
    Dev vf(VIFNET32_IFF_TUN, 77);
    const VIFNET32_STATS before = vf.Stats();
    messages.Take();
    WrenSimFail(WRENSIM_OP_SEND_PACKET, 0, 1, 5, 31);
    ExpectFails([&] { return vifnet32_write(vf.fd, packet.data(), 40); }, 5, 31);
    // The adapter's line, then the interface's.
    EXPECT_TRUE(Begin(messages.Take(), {"** CVFAdapter(", vf.Msg("WritePacket", "WriteAdapter failed; rc=31: ")}));
    EXPECT_EQ(Delta(before, vf.Stats()), (Moved{1, 1, 0, 0}));
}

TEST(MultiWrite, BatchesAreSentAsPackedRecordsAndKeptWhenFullOrRefused) {
    CaptureMessages messages;
    Dev vf(VIFNET32_IFF_TAP, 77);
    ExpectFails([&] { return vifnet32_beg_write_multi(vf.fd, 1514 + 16 - 1); }, 22, 87);
    EXPECT_EQ(messages.Take(), Lines{vf.Msg("BegMultiWrite", "a buffer size of 1529 is too small\n")});
    // Closed or empty batches send and count nothing: the counts below start before them.
    const VIFNET32_STATS start = vf.Stats();
    for (int rc : {vifnet32_end_write_multi(vf.fd), vifnet32_beg_write_multi(vf.fd, 1530), vifnet32_end_write_multi(vf.fd)})
        EXPECT_EQ(rc, 0);

    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 65536), 0);
    std::vector<Bytes> frames;
    for (uint8_t i = 0; i < 10; ++i)
        ASSERT_EQ(vf.Write(frames.emplace_back(Packet(100, {}, i))), 100);
    EXPECT_EQ(WrenSimSentCount(kLanA), 0u);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    EXPECT_EQ(Sent(kLanA, 0, WRENSIM_SENT_BATCH), Batch(frames));
    EXPECT_EQ(Delta(start, vf.Stats()), (Moved{1, 0, 10, 1160}));
    EXPECT_TRUE(messages.Take().empty());
    WrenSimClearSent(kLanA);

    // Room for one largest frame: each write sends the one before.
    const std::vector<Bytes> big = {Packet(1514, {}, 1), Packet(1514, {}, 2), Packet(1514, {}, 3)};
    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 1544), 0);
    for (const Bytes& f : big)
        ASSERT_EQ(vf.Write(f), 1514);
    EXPECT_EQ(WrenSimSentCount(kLanA), 2u);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(Sent(kLanA, i, WRENSIM_SENT_BATCH), Batch({big[i]})) << i;
    WrenSimClearSent(kLanA);

    // A batch the driver refuses is dropped, not kept to be sent again, and ends with
    // EndMultiWrite all the same: the next write goes out alone. A refused flush forced by a
    // write empties the batch, which stays open, and the write's frame is not queued.
    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 3000), 0);
    ExpectFails([&] { return vf.Write(Bytes(5)); }, 22, 87);  // never queued
    ASSERT_EQ(vf.Write(big[0]), 1514);
    ASSERT_EQ(vf.Write(frames[0]), 100);
    const VIFNET32_STATS before = vf.Stats();
    messages.Take();
    WrenSimFail(WRENSIM_OP_SEND_MANY_PACKETS, 0, 1, 5, 31);
    ExpectFails([&] { return vifnet32_end_write_multi(vf.fd); }, 5, 31);
    EXPECT_TRUE(Begin(messages.Take(), {"** CVFAdapter(", vf.Msg("EndMultiWrite", "WriteMultiplePackets failed; rc=31: "),
                                        vf.Msg("EndMultiWrite", "sent 0 of 2 frames; the rest are dropped\n")}));
    ASSERT_EQ(vf.Write(frames[1]), 100);
    EXPECT_EQ(Sent(kLanA, 0), frames[1]);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    EXPECT_EQ(Delta(before, vf.Stats()), (Moved{2, 1, 1, 100}));
    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 3000), 0);
    ASSERT_EQ(vf.Write(big[0]), 1514);
    WrenSimFail(WRENSIM_OP_SEND_MANY_PACKETS, 0, 1, 5, 31);
    ExpectFails([&] { return vf.Write(big[1]); }, 5, 31);
    ASSERT_EQ(vf.Write(frames[2]), 100);
    ASSERT_EQ(vifnet32_end_write_multi(vf.fd), 0);
    ASSERT_EQ(WrenSimSentCount(kLanA), 2u);
    EXPECT_EQ(Sent(kLanA, 1, WRENSIM_SENT_BATCH), Batch({frames[2]}));
}

// The host lowers the adapter's MTU under a batch: the frames sent before the first one the
// link refuses are counted and never sent again, the rest are dropped, and the interface
// follows the adapter's frame size from then on, refusing longer frames before the driver
// sees them until the MTU is raised again.
TEST(MultiWrite, ABatchRefusedPartwayCountsWhatWentOutAndTheMtuIsFollowed) {
    const char16_t kLanD[] = u"sim-lan-d";
    CaptureMessages messages;
    Iface vf(VIFNET32_IFF_TAP, VIFNET32_O_RDWR, "10.4.0.2");
    ASSERT_EQ(vf.SetFlags(VIFNET32_IFF_UP), 0);
    const auto lowered = LanD(1014), restored = LanD();
    const std::vector<Bytes> frames = {Packet(100, {}, 1), Packet(1514, {}, 2), Packet(100, {}, 3)};
    ASSERT_EQ(vifnet32_beg_write_multi(vf.fd, 65536), 0);
    for (const Bytes& f : frames)
        ASSERT_EQ(vf.Write(f), static_cast<int>(f.size()));
    WrenSimClearSent(kLanD);
    const VIFNET32_STATS before = vf.Stats();
    messages.Take();
    ASSERT_TRUE(WrenSimSetAdapter(&lowered));
    ExpectFails([&] { return vifnet32_end_write_multi(vf.fd); }, 10040, 10040);
    EXPECT_TRUE(Begin(messages.Take(), {"** CVFAdapter(", vf.Msg("EndMultiWrite", "WriteMultiplePackets failed; rc=10040: "),
                                        vf.Msg("EndMultiWrite", "sent 1 of 3 frames; the rest are dropped\n")}));
    EXPECT_EQ(Delta(before, vf.Stats()), (Moved{1, 0, 1, 116}));
    // That they are never sent again and the next write goes out alone: the end-to-end test of a
    // send queue failing partway, on the real driver.
    EXPECT_TRUE(Eventually([&] { return vf.Write(frames[1]) == -1 && errno == 22 && LastError() == 87; }));
    EXPECT_EQ(messages.Take().back(),
              vf.Msg("Write", "Error: Frame of 1514 bytes longer than the adapter's frame size of 1014\n"));
    EXPECT_EQ(WrenSimSentCount(kLanD), 1u);  // the batch's first frame only
    // Raised again, the MTU is followed as well: the end-to-end test of a lowered MTU.
    ASSERT_TRUE(WrenSimSetAdapter(&restored));
}
