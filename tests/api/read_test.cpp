// Frames coming in: selection and delivery in TAP and TUN mode, the ARP and RARP responder, the
// gratuitous announcements, the frame trace, notify mode and several interfaces reading one
// adapter. Receive buffers are injected into sim-lan-a (10.1.0.2, 00:1A:2B:3C:4D:5E), whose
// interfaces have the Tarn MAC 02:00:5E:81:00:02 until a Tarn address is set.
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <tuple>
#include <vector>

#include "test_support.h"

using namespace vtest;

namespace {

const char16_t kLan[] = u"sim-lan-a";
const uint8_t kTarnMac[6] = {0x02, 0x00, 0x5E, 0x81, 0x00, 0x02};
const uint8_t kHostMac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};  // sim-lan-a's
const uint8_t kZeroMac[6] = {};
const uint8_t kPeerMac[6] = {0x00, 0x50, 0x56, 0x01, 0x02, 0x03};
const uint8_t kOtherMac[6] = {0x00, 0x50, 0x56, 0x09, 0x09, 0x09};
const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kGroup[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const uint8_t kPeerIp[4] = {10, 1, 0, 9};

// A frame of `size` bytes: the Ethernet header, then `tag` in the first two payload bytes.
Bytes Frame(const uint8_t* dst, const uint8_t* src, uint16_t type, size_t size = 60, uint16_t tag = 0) {
    Bytes f(size, 0xA5);
    std::copy(dst, dst + 6, f.begin());
    std::copy(src, src + 6, f.begin() + 6);
    const uint8_t words[4] = {uint8_t(type >> 8), uint8_t(type), uint8_t(tag >> 8), uint8_t(tag)};
    std::copy(words, words + std::min<size_t>(4, size - 12), f.begin() + 12);
    return f;
}

// An ARP (op 1, 2) or RARP (op 3, 4) frame: Ethernet destination and source, then sender and
// target addresses.
Bytes Arp(uint16_t op, const uint8_t* dst, const uint8_t* src, const uint8_t* senderMac, const uint8_t* senderIp,
          const uint8_t* targetMac, const uint8_t* targetIp) {
    Bytes f = Frame(dst, src, op <= 2 ? 0x0806 : 0x8035, 42);
    const uint8_t head[8] = {0, 1, 8, 0, 6, 4, 0, uint8_t(op)};
    std::copy(head, head + 8, f.begin() + 14);
    std::copy(senderMac, senderMac + 6, f.begin() + 22);
    std::copy(senderIp, senderIp + 4, f.begin() + 28);
    std::copy(targetMac, targetMac + 6, f.begin() + 32);
    std::copy(targetIp, targetIp + 4, f.begin() + 38);
    return f;
}
// A request from the peer.
Bytes ArpRequest(uint16_t op, const uint8_t* dst, const uint8_t* targetMac, const uint8_t* targetIp) {
    return Arp(op, dst, kPeerMac, kPeerMac, kPeerIp, targetMac, targetIp);
}

// A 28-byte TUN packet for `ip`, and the frame a TUN write makes of it for `dst`.
Bytes TunPacket(const uint8_t* ip, uint8_t tag) {
    Bytes packet(28, tag);
    std::copy(ip, ip + 4, packet.begin() + 16);
    return packet;
}
Bytes TunFrame(const uint8_t* dst, const uint8_t* src, const Bytes& packet) {
    Bytes f = Frame(dst, src, 0x0800, 14);
    f.insert(f.end(), packet.begin(), packet.end());
    return f;
}

// One receive buffer holding the frames as capture records, aligned as the driver aligns them.
Bytes Records(const std::vector<Bytes>& frames) {
    Bytes buf;
    for (const Bytes& f : frames) {
        WP_CAPTURE_HEADER h{};
        h.bh_caplen = h.bh_datalen = uint32_t(f.size());
        h.bh_hdrlen = sizeof h;
        const auto* hp = reinterpret_cast<const uint8_t*>(&h);
        buf.insert(buf.end(), hp, hp + sizeof h);
        buf.insert(buf.end(), f.begin(), f.end());
        buf.resize(WP_CAPTURE_ALIGN(buf.size()));
    }
    return buf;
}

void Inject(const std::vector<Bytes>& frames) {
    const Bytes buf = Records(frames);
    ASSERT_TRUE(WrenSimInjectBuffer(kLan, buf.data(), uint32_t(buf.size())));
}

// Read timeout argument of Dev that keeps the default.
constexpr int kDefaultTimeout = -2;

// One interface on sim-lan-a with the given Tarn addresses, up. Settings frozen while up (read
// timeout, I/O buffer size; kDefaultTimeout and 0: defaults) are made first.
struct Dev : Iface {
    explicit Dev(int type, std::vector<std::array<uint8_t, 4>> tarnIps = {}, int openFlags = VIFNET32_O_RDWR,
                 int timeout = kDefaultTimeout, uint32_t ioBuffer = 0, const char* gateway = "10.1.0.2", int macMode = -1)
        : Iface(type, openFlags, gateway) {
        if (macMode >= 0) {
            EXPECT_EQ(vifnet32_ioctl(fd, VIFNET32_IFCTL_SETMACMODE, &macMode), 0);
        }
        for (auto& ip : tarnIps)
            EXPECT_EQ(Set(VIFNET32_IFCTL_ADDTARNIPADDR, ip.data(), 4, 0), 0);
        if (timeout != kDefaultTimeout) {
            EXPECT_EQ(SetValue(VIFNET32_IFCTL_SETREADTIMEOUT, uint32_t(timeout)), 0);
        }
        if (ioBuffer) {
            EXPECT_EQ(SetValue(VIFNET32_IFCTL_SETIOBUFSIZE, ioBuffer), 0);
        }
        EXPECT_EQ(SetFlags(VIFNET32_IFF_UP), 0);
    }
    Bytes Read(size_t size = 2048) const {
        Bytes b(size);
        const int n = vifnet32_read(fd, b.data(), int(size));
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    }
};

// The frame-trace blocks among the messages, the interface's address replaced by "@", and any
// assertion report: frames from the wire are input, never an inconsistency of the library.
Lines TraceBlocks(CaptureMessages& messages) {
    Lines blocks;
    for (const std::string& line : messages.Take())
        if (StartsWith(line, "\nEthernet") || line.find("Assertion") != std::string::npos)
            blocks.push_back(std::regex_replace(line, std::regex("[0-9A-F]{16}"), "@"));
    return blocks;
}

// Read timeout of the tests that read until nothing is left: long enough for the reader thread
// to fetch an injected buffer.
constexpr int kShortWait = 1000;

class ReadPath : public testing::Test {
protected:
    void SetUp() override {
        WrenSimClearSent(kLan);
        ASSERT_EQ(WrenSimPendingBuffers(kLan), 0u);
    }
};

}  // namespace

TEST_F(ReadPath, UpAppliesTheDriverSettingsAndTapTakesItsOwnGroupAndPromiscuousFrames) {
    Dev tap(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, kShortWait);
    const Bytes mine = Frame(kTarnMac, kPeerMac, 0x0800, 60, 1);
    const Bytes group = Frame(kBroadcast, kPeerMac, 0x86DD, 70, 2);
    const Bytes other = Frame(kOtherMac, kPeerMac, 0x0800, 60, 3);
    const Bytes own = Frame(kOtherMac, kTarnMac, 0x0800, 60, 4);
    const Bytes zeros = Frame(kGroup, kZeroMac, 0x0800, 61, 5);
    const Bytes groupFromOwn = Frame(kGroup, kTarnMac, 0x0800, 60, 6),
                fromBroadcast = Frame(kOtherMac, kBroadcast, 0x0800, 60, 7);
    Inject({mine, group, other, own, zeros, groupFromOwn, fromBroadcast});

    for (const Bytes& kept : {mine, group, zeros, groupFromOwn})
        EXPECT_EQ(tap.Read(), kept);
    EXPECT_EQ(tap.Read(), Bytes{});
    EXPECT_EQ(Err(), std::pair(60, 258u));
    // The adapter's reader, started by going up, applied the driver settings before reading (the
    // driver buffer's size: the adapter's unit test).
    EXPECT_EQ(WrenSimGetReadEventThreshold(kLan), 0u);
    WP_BPF_INSN insn[2] = {};
    ASSERT_EQ(WrenSimGetBpf(kLan, insn, 2), 1u);
    EXPECT_EQ(insn[0].code, 0x0006);
    EXPECT_EQ(insn[0].k, 0xFFFFFFFFu);
    const VIFNET32_STATS s = tap.Stats();
    EXPECT_EQ(s.n64FramesExamined, 7u);
    EXPECT_EQ(s.n64FramesDiscarded, 1u);
    EXPECT_EQ(s.n64OwnFramesDropped, 2u);
    EXPECT_EQ(s.n64ZeroSrcMACRead, 1u);
    EXPECT_EQ(s.n64BytesRead, Records({mine, group, other, own, zeros, groupFromOwn, fromBroadcast}).size());
    EXPECT_EQ(s.dwMaxBytesRead, s.n64BytesRead);
    EXPECT_EQ(s.n64ReadPacketCalls, 5u);

    // Promiscuous: everything, the interface's own transmissions included.
    ASSERT_EQ(tap.SetFlags(VIFNET32_IFF_UP | VIFNET32_IFF_PROMISC), 0);
    Inject({other, own});
    EXPECT_EQ(tap.Read(), other);
    EXPECT_EQ(tap.Read(), own);

    // Refused reads.
    ASSERT_EQ(tap.SetFlags(0), 0);
    EXPECT_EQ(vifnet32_read(tap.fd, nullptr, 0), -1);
    EXPECT_EQ(Err(), std::pair(13, 5u));
    Dev writeOnly(VIFNET32_IFF_TAP, {}, VIFNET32_O_WRONLY);
    EXPECT_EQ(vifnet32_read(writeOnly.fd, nullptr, 0), -1);
    EXPECT_EQ(Err(), std::pair(13, 5u));
}

TEST_F(ReadPath, CallerBufferSizesAndHostileRecords) {
    Dev tap(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, kShortWait);
    const Bytes a = Frame(kBroadcast, kPeerMac, 0x0800, 60, 1), b = Frame(kBroadcast, kPeerMac, 0x0800, 60, 2),
                c = Frame(kBroadcast, kPeerMac, 0x0800, 60, 3);
    Inject({a, b, c});
    EXPECT_EQ(tap.Read(10), Bytes(a.begin(), a.begin() + 10));  // the rest of the frame is lost
    errno = 1234;
    EXPECT_EQ(vifnet32_read(tap.fd, nullptr, 0), 0);  // consumes b
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(vifnet32_read(tap.fd, nullptr, 2000), -1);  // nowhere to put c: it stays
    EXPECT_EQ(Err(), std::pair(22, 87u));
    EXPECT_EQ(tap.Read(), c);

    // A record claiming more bytes than the buffer holds ends that buffer; a frame of 14 bytes
    // or less is never delivered.
    Bytes lying = Records({a, a});
    reinterpret_cast<WP_CAPTURE_HEADER*>(lying.data() + 80)->bh_caplen = 0xFFFFFFF0u;
    ASSERT_TRUE(WrenSimInjectBuffer(kLan, lying.data(), uint32_t(lying.size())));
    Inject({Frame(kBroadcast, kPeerMac, 0x0800, 14), b});
    EXPECT_EQ(tap.Read(), a);
    EXPECT_EQ(tap.Read(), b);
    EXPECT_EQ(tap.Read(), Bytes{});
    EXPECT_EQ(tap.Stats().n64FramesDiscarded, 2u);
}

// A frame longer than the MTU allows is dropped and counted, as a NIC with that MTU would drop
// it; the receive walk does so before it looks at the mode.
TEST_F(ReadPath, FramesLongerThanTheMtuAreDropped) {
    Dev tap(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, kShortWait);
    Inject({Frame(kBroadcast, kPeerMac, 0x0800, 1515), Frame(kBroadcast, kPeerMac, 0x0800, 1514)});
    EXPECT_EQ(tap.Read(65536).size(), 1514u);
    EXPECT_EQ(tap.Stats().n64FramesDiscarded, 1u);
}

TEST_F(ReadPath, TunDeliversIPv4AndAnswersARPForItsAddresses) {
    CaptureMessages messages;
    Dev tun(VIFNET32_IFF_TUN, {{10, 1, 0, 77}}, VIFNET32_O_RDWR, kShortWait);
    WrenSimClearSent(kLan);  // the announcements
    ASSERT_EQ(tun.SetFlags(VIFNET32_IFF_UP | VIFNET32_IFF_DEBUG), 0);
    const uint8_t* tarn = kTarnMac;
    const uint8_t asked[4] = {10, 1, 0, 77}, unknown[4] = {10, 1, 0, 78}, *zero = kZeroMac;
    const Bytes ipv4 = Frame(tarn, kPeerMac, 0x0800, 60, 7);
    messages.Take();
    const Bytes request = ArpRequest(1, kBroadcast, zero, asked);
    Inject({Frame(kBroadcast, kPeerMac, 0x86DD, 80), ArpRequest(1, kBroadcast, zero, unknown),
            ArpRequest(1, kOtherMac, zero, asked), Bytes(request.begin(), request.begin() + 41), request,
            ArpRequest(3, kBroadcast, tarn, zero), ArpRequest(3, kBroadcast, kOtherMac, zero),
            Arp(1, kBroadcast, kPeerMac, zero, kPeerIp, zero, asked), Arp(1, kBroadcast, kPeerMac, kGroup, kPeerIp, zero, asked),
            ipv4});

    EXPECT_EQ(tun.Read(), Bytes(ipv4.begin() + 14, ipv4.end()));
    EXPECT_EQ(tun.Read(), Bytes{});

    ASSERT_EQ(WrenSimSentCount(kLan), 2u);
    EXPECT_EQ(Sent(kLan, 0), Arp(2, kPeerMac, tarn, tarn, asked, kPeerMac, kPeerIp));  // 10.1.0.77 is at `tarn`
    EXPECT_EQ(Sent(kLan, 1), Arp(4, kPeerMac, tarn, tarn, asked, tarn, asked));        // `tarn` is 10.1.0.77

    const VIFNET32_STATS s = tun.Stats();
    EXPECT_EQ(s.n64ARPReplies, 2u);
    EXPECT_EQ(s.n64FramesDiscarded, 9u);
    EXPECT_EQ(s.n64PacketsWritten, 4u);  // announced when added and when up, two replies
    EXPECT_EQ(s.n64BytesWritten, 168u);

    // The default mask traces ARP and RARP both ways, and no IPv4 frame.
    const Lines expected = {
        "\nEthernet ARP Frame READ from TUN interface @:\n(Where is: 10.1.0.77, Tell: 10.1.0.9)\n",
        "\nEthernet ARP Frame WRITTEN to TUN interface @:\n(10.1.0.77 is at: 02-00-5E-81-00-02)\n",
        "\nEthernet RARP Frame READ from TUN interface @:\n(Who is: 02-00-5E-81-00-02, Tell: 10.1.0.9)\n",
        "\nEthernet RARP Frame WRITTEN to TUN interface @:\n(02-00-5E-81-00-02 is: 10.1.0.77)\n",
    };
    EXPECT_EQ(TraceBlocks(messages), expected);
}

// TUN writes to a next hop nothing knows ask the link and wait in the library, not in the call;
// what the read path hears of ARP for the guest resolves them.
TEST_F(ReadPath, TunNeighboursAreAskedOnTheLinkAndLearntFromWhatIsRead) {
    Dev tun(VIFNET32_IFF_TUN, {{10, 1, 0, 77}}, VIFNET32_O_RDWR, 100);
    WrenSimClearSent(kLan);
    const uint8_t tarnIp[4] = {10, 1, 0, 77}, farIp[4] = {10, 1, 0, 50}, *zero = kZeroMac;
    const uint8_t farMac[6] = {0x00, 0x50, 0x56, 0x05, 0x05, 0x05};
    auto write = [&](const uint8_t* ip, uint8_t tag) {
        const Bytes packet = TunPacket(ip, tag);
        EXPECT_EQ(tun.Write(packet), 28);
        return packet;
    };
    std::vector<Bytes> packets;
    for (uint8_t tag = 1; tag <= 4; ++tag)
        packets.push_back(write(farIp, tag));
    ASSERT_EQ(WrenSimSentCount(kLan), 1u) << "one request, and the packets wait";
    EXPECT_EQ(Sent(kLan, 0), Arp(1, kBroadcast, kTarnMac, kTarnMac, tarnIp, zero, farIp));

    // The answer arrives through a read: the three newest packets follow it, in order.
    Inject({Arp(2, kTarnMac, farMac, farMac, farIp, kTarnMac, tarnIp)});
    EXPECT_EQ(tun.Read(), Bytes{});
    ASSERT_EQ(WrenSimSentCount(kLan), 4u);
    for (uint32_t i = 1; i < 4; ++i)
        EXPECT_EQ(Sent(kLan, i), TunFrame(farMac, kTarnMac, packets[i])) << i;

    // A request answered teaches its sender, and an announcement of a new MAC is followed; the
    // learnt next hop is sent to at once.
    const std::tuple<Bytes, const uint8_t*, const uint8_t*> heard[] = {
        {ArpRequest(1, kBroadcast, zero, tarnIp), kPeerIp, kPeerMac},
        {Arp(1, kBroadcast, kOtherMac, kOtherMac, kPeerIp, zero, kPeerIp), kPeerIp, kOtherMac},
    };
    for (const auto& [frame, ip, mac] : heard) {
        Inject({frame});
        EXPECT_EQ(tun.Read(), Bytes{});
        const uint32_t sent = WrenSimSentCount(kLan);
        const Bytes packet = write(ip, 9);
        ASSERT_EQ(WrenSimSentCount(kLan), sent + 1);
        EXPECT_EQ(Sent(kLan, sent), TunFrame(mac, kTarnMac, packet));
    }
}

TEST_F(ReadPath, GratuitousARPsAnnounceEveryAddressInOrder) {
    // Each address is announced when added (the interface is down then) and again at IFF_UP.
    Dev tun(VIFNET32_IFF_TUN, {{10, 1, 0, 5}, {10, 1, 0, 6}, {10, 1, 0, 7}});
    ASSERT_EQ(WrenSimSentCount(kLan), 6u);
    for (uint8_t i = 0; i < 6; ++i) {
        const uint8_t ip[4] = {10, 1, 0, uint8_t(5 + i % 3)};
        EXPECT_EQ(Sent(kLan, i), Arp(1, kBroadcast, kTarnMac, kTarnMac, ip, kZeroMac, ip)) << int(i);
    }
    const uint8_t again[4] = {10, 1, 0, 6}, added[4] = {10, 1, 0, 8};
    EXPECT_EQ(tun.Set(VIFNET32_IFCTL_ADDTARNIPADDR, again, 4, 0), 0);
    EXPECT_EQ(WrenSimSentCount(kLan), 6u);
    EXPECT_EQ(tun.Set(VIFNET32_IFCTL_ADDTARNIPADDR, added, 4, 0), 0);
    EXPECT_EQ(WrenSimSentCount(kLan), 7u);

    // A failed announcement: the driver's pair and the message, the counters of attempts only.
    CaptureMessages messages;
    WrenSimFail(WRENSIM_OP_SEND_PACKET, 0, 1, 5, 31);
    const uint8_t fails[4] = {10, 1, 0, 9};
    EXPECT_EQ(tun.Set(VIFNET32_IFCTL_ADDTARNIPADDR, fails, 4, 0), 0);
    EXPECT_TRUE(Begin(messages.Take(), {"** CVFAdapter(", tun.Msg("SendGratuitousARP", "WriteAdapter failed; rc=31: ")}));
    const VIFNET32_STATS s = tun.Stats();
    EXPECT_EQ(s.n64WriteAttempts, 8u);
    EXPECT_EQ(s.n64PacketsWritten, 7u);
}

// A read waits for its timeout (-1: without limit) unless a frame comes, its interface closes or
// goes down (13/5 at once), or the adapter's driver keeps failing (19/55 at once, with one report
// of the driver's failure). Another interface's reader keeps waiting unless a frame or the
// failure concerns it too.
TEST_F(ReadPath, WaitingReadEndsOnFrameCloseDownOrLostAdapter) {
    using namespace std::chrono;
    const struct {
        const char* what;
        int timeout, result, err;
        unsigned code;
        bool otherEnds;
        void (*act)(const Dev&);  // which must return at once
    } cases[] = {
        {"frame", -1, 60, 0, 0, true, [](const Dev&) { Inject({Frame(kTarnMac, kPeerMac, 0x0800)}); }},
        {"close", 20000, -1, 13, 5, false, [](const Dev& d) { EXPECT_EQ(vifnet32_close(d.fd), 0); }},
        {"down", -1, -1, 13, 5, false, [](const Dev& d) { EXPECT_EQ(d.SetFlags(0), 0); }},
        {"adapter lost", 20000, -1, 19, 55, true,
         [](const Dev&) {
             WrenSimFail(WRENSIM_OP_RECV_PACKET, 0, -1, 5, 31);  // a failure that only lasts
             Inject({Frame(kPeerMac, kPeerMac, 0x0800)});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CaptureMessages messages;
        Dev waiting(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, c.timeout), other(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, 1000);
        struct Outcome {
            int n = 0, err = 0;
            unsigned code = 0;
            steady_clock::time_point end;
        } mine, others;
        auto read = [](const Dev& dev, Outcome& o) {
            Bytes b(2048);
            o.n = vifnet32_read_ex(dev.fd, b.data(), 2048, &o.err);
            o.code = LastError();
            o.end = steady_clock::now();
        };
        std::thread reader(read, std::cref(waiting), std::ref(mine)), otherReader(read, std::cref(other), std::ref(others));
        std::this_thread::sleep_for(milliseconds(300));
        const auto start = steady_clock::now();
        c.act(waiting);
        EXPECT_LT(steady_clock::now() - start, milliseconds(500));
        reader.join();
        otherReader.join();
        WrenSimFail(WRENSIM_OP_RECV_PACKET, 0, 0, 0, 0);
        EXPECT_LT(mine.end - start, milliseconds(500));
        EXPECT_EQ(mine.n, c.result);
        if (c.result < 0) {
            EXPECT_EQ(std::pair(mine.err, mine.code), std::pair(c.err, c.code));
        }
        if (c.otherEnds) {
            EXPECT_LT(others.end - start, milliseconds(500));
        } else {
            EXPECT_EQ(std::pair(others.n, others.err), std::pair(0, 60));
            EXPECT_GT(others.end - start, milliseconds(500));
        }
        // The driver's failure is reported once: the end-to-end test of link faults counts it.
        const Lines lines = messages.Take();
        const std::string lost = waiting.Msg("ReadPacket", "Error: adapter 00-1A-2B-3C-4D-5E no longer receives\n");
        EXPECT_EQ(std::find(lines.begin(), lines.end(), lost) != lines.end(), c.err == 19);
    }
}

// Receive buffers are as large as the largest read buffer on the adapter; a smaller reader
// grows its own to the size of the buffer it meets.
TEST_F(ReadPath, ReadBufferGrowsToTheReceiveBuffer) {
    CaptureMessages messages;
    Dev big(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, kDefaultTimeout, 262144), small(VIFNET32_IFF_TAP);
    std::vector<Bytes> frames;
    for (uint16_t i = 0; i < 70; ++i)
        frames.push_back(Frame(kBroadcast, kPeerMac, 0x0800, 1500, i));
    Inject(frames);
    const size_t length = Records(frames).size();
    for (uint16_t i = 0; i < 70; ++i)
        ASSERT_EQ(small.Read(), frames[i]) << i;
    EXPECT_EQ(small.Value(VIFNET32_IFCTL_GETIOBUFSIZE), length);
    EXPECT_EQ(messages.Take(), Lines{small.Msg("ReadMorePackets", "packet buffer too small; allocating larger buffer...\n")});
    EXPECT_EQ(big.Read(), frames[0]);
}

// Notify mode: one 8-byte message per receive buffer the adapter fills, one consumed per
// refill, none for a plain interface; an interface whose caller never reads holds up nobody.
TEST_F(ReadPath, NotifyModeSignalsEachBufferAndAnIdleReaderStallsNobody) {
    Dev plain(VIFNET32_IFF_TAP), idle(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR | _O_VF32NOTIFY);
    Dev busy(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR | _O_VF32NOTIFY);
    constexpr uint16_t kBuffers = 3000;
    for (uint16_t i = 0; i < kBuffers; ++i)
        Inject({Frame(kBroadcast, kPeerMac, 0x0800, 60, i)});
    // The caller's cycle: wait for the descriptor, read until the timeout result.
    uint16_t next = 0;
    while (next < kBuffers) {
        ASSERT_TRUE(Readable(busy.fd, 5000)) << "stalled at buffer " << next;
        for (Bytes f = busy.Read(); !f.empty(); f = busy.Read())
            ASSERT_EQ(f[14] << 8 | f[15], next++);
        ASSERT_EQ(errno, 60);
    }
    EXPECT_FALSE(Readable(busy.fd, 0));  // exactly one message per buffer, all consumed
    EXPECT_TRUE(Readable(idle.fd, 0));
    EXPECT_FALSE(Readable(plain.fd, 0));
    EXPECT_EQ(busy.Stats().n64FramesExamined, kBuffers);
}

// The debug mask chooses the frames traced: 0x40004040 traces data frames both ways with a hex
// dump, no ARP; without IFF_DEBUG nothing is traced whatever the mask.
TEST_F(ReadPath, DebugMaskChoosesTheFramesTraced) {
    CaptureMessages messages;
    Dev tap(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, kShortWait);
    ASSERT_EQ(tap.SetValue(VIFNET32_TUNSETDEBUG, 0x40004040u), 0);
    const Bytes frame = Frame(kBroadcast, kPeerMac, 0x0806, 42);
    for (int flags : {VIFNET32_IFF_UP, VIFNET32_IFF_UP | VIFNET32_IFF_DEBUG}) {
        ASSERT_EQ(tap.SetFlags(flags), 0);
        Inject({frame});
        ASSERT_EQ(tap.Read(), frame);
        ASSERT_EQ(tap.Write(frame), 42);
    }
    const std::string dump =
        "0000: FF FF FF FF FF FF 00 50 56 01 02 03 08 06 00 00  .......PV.......\n"
        "0010: A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5  ................\n"
        "0020: A5 A5 A5 A5 A5 A5 A5 A5 A5 A5                    ..........";
    EXPECT_EQ(TraceBlocks(messages), (Lines{"\nEthernet Frame READ from TAP interface @\n" + dump,
                                            "\nEthernet Frame WRITTEN to TAP interface @\n" + dump}));
}

// Frames the host itself sent on an adapter that leaves checksums to the hardware arrive with
// unfinished checksums; they are repaired before delivery, and only those: a frame from the LAN
// that claims the host's MAC is not, where the driver tells the direction.
TEST_F(ReadPath, HostFramesWithOffloadedChecksumsAreRepaired) {
    Dev tap(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR, kShortWait, 0, "172.16.4.2");
    const uint8_t hostC[6] = {0x02, 0x66, 0x77, 0x88, 0x99, 0xAA};
    // IPv4/UDP, 172.16.4.2 -> 172.16.4.9, both checksums left at 0.
    const uint8_t ipUdp[28] = {0x45, 0,    0, 28, 0, 1, 0, 0, 64, 17, 0, 0, 172, 16, 4, 2, 172, 16, 4, 9,  // IPv4
                               0x12, 0x34, 0, 53, 0, 8, 0, 0};                                             // UDP
    Bytes fromHost = Frame(kBroadcast, hostC, 0x0800, 42), fromPeer = Frame(kBroadcast, kPeerMac, 0x0800, 42);
    std::copy(ipUdp, ipUdp + 28, fromHost.begin() + 14);
    std::copy(ipUdp, ipUdp + 28, fromPeer.begin() + 14);
    Bytes repaired = fromHost;
    repaired[24] = 0x1A, repaired[25] = 0xA5;  // IPv4 header checksum
    repaired[40] = 0x8D, repaired[41] = 0x49;  // UDP checksum
    // A capture record whose direction bits are clear, as from a driver that cannot tell.
    const auto undirected = [](const WP_CHAR16* lan, const void* f, uint32_t n) {
        const Bytes b = Records({Bytes(static_cast<const uint8_t*>(f), static_cast<const uint8_t*>(f) + n)});
        return WrenSimInjectBuffer(lan, b.data(), uint32_t(b.size()));
    };
    const struct {
        int (*inject)(const WP_CHAR16*, const void*, uint32_t);
        const Bytes& frame;
        const Bytes& delivered;
    } cases[] = {
        {undirected, fromHost, repaired},  // the source MAC is all there is
        {undirected, fromPeer, fromPeer},
        {WrenSimInjectHostFrame, fromHost, repaired},
        {WrenSimInjectFrame, fromHost, fromHost},  // came in from the LAN
    };
    const char16_t lanC[] = u"sim-lan-c";
    for (const auto& c : cases)
        ASSERT_TRUE(c.inject(lanC, c.frame.data(), uint32_t(c.frame.size())));
    for (const auto& c : cases)
        EXPECT_EQ(tap.Read(), c.delivered) << &c - cases;
}

// The host's own guest: a TAP guest's ARP request for the host's address is answered with the
// host adapter's MAC, ahead of the adapter's frames and announced on the descriptor, and still
// goes to the wire; a TCP frame the host sent longer than the link (segmentation offload)
// reaches the guest as segments with their own lengths, sequence numbers and checksums.
TEST_F(ReadPath, HostAnswersItsGuestAndItsLongTCPFramesAreCut) {
    const uint8_t hostIp[4] = {10, 1, 0, 2}, guestIp[4] = {10, 1, 0, 77}, *hostMac = kHostMac;
    Dev tap(VIFNET32_IFF_TAP, {}, VIFNET32_O_RDWR | _O_VF32NOTIFY);
    const Bytes request = Arp(1, kBroadcast, kTarnMac, kTarnMac, guestIp, kZeroMac, hostIp);
    ASSERT_EQ(tap.Write(request), int(request.size()));
    ASSERT_TRUE(vtest::Readable(tap.fd, 1000));
    Bytes reply = Arp(2, kTarnMac, hostMac, hostMac, hostIp, kTarnMac, guestIp);
    reply.resize(60);
    EXPECT_EQ(tap.Read(), reply);
    EXPECT_EQ(tap.Read(), Bytes{});
    EXPECT_FALSE(vtest::Readable(tap.fd, 0));
    EXPECT_EQ(Sent(kLan, 0), request);

    Dev tun(VIFNET32_IFF_TUN, {}, VIFNET32_O_RDWR, kShortWait);
    Bytes big = Frame(kTarnMac, hostMac, 0x0800, 14 + 3000);
    const uint8_t headers[40] = {0x45, 0, 3000 >> 8, 3000 & 255, 0,    9,    0x40, 0,    64,   6, 0, 0, 10, 1,
                                 0,    2, 10,        1,          0,    77,   0,    80,   0x90, 0, 0, 0, 1,  0,
                                 0,    0, 0,         0,          0x50, 0x19, 0xFF, 0xFF, 0,    0, 0, 0};
    std::copy(headers, headers + 40, big.begin() + 14);
    ASSERT_TRUE(WrenSimInjectHostFrame(kLan, big.data(), uint32_t(big.size())));
    Bytes payload;
    for (const size_t chunk : {1460u, 1460u, 40u}) {
        const Bytes seg = tun.Read();
        ASSERT_EQ(seg.size(), 40 + chunk);
        const uint32_t offset = uint32_t(payload.size());
        EXPECT_EQ(seg[2] << 8 | seg[3], int(seg.size()));
        EXPECT_EQ(uint32_t(seg[26] << 8 | seg[27]), 0x100 + offset);  // sequence number, low half
        EXPECT_EQ(seg[33], offset + chunk < 2960 ? 0x10 : 0x19);      // FIN and PSH on the last only
        const uint8_t pseudo[4] = {0, 6, uint8_t((seg.size() - 20) >> 8), uint8_t(seg.size() - 20)};
        EXPECT_EQ(Sum(seg.data(), 20), 0xFFFFu);
        EXPECT_EQ(Sum(seg.data() + 20, seg.size() - 20, Sum(seg.data() + 12, 8, Sum(pseudo, 4))), 0xFFFFu);
        payload.insert(payload.end(), seg.begin() + 40, seg.end());
    }
    EXPECT_EQ(payload, Bytes(big.begin() + 54, big.end()));
}

// ---- Shared MAC mode: sim-lan-a's MAC on the wire for every guest -----------------------------

namespace {

// An IPv4 frame from `src` to `dst` (addresses at their header offsets), `size` bytes long.
Bytes IPv4(const uint8_t* dstMac, const uint8_t* srcMac, const uint8_t* srcIp, const uint8_t* dstIp, uint8_t tag = 0) {
    Bytes f = Frame(dstMac, srcMac, 0x0800, 60);
    const uint8_t head[12] = {0x45, 0, 0, 46, 0, tag, 0, 0, 64, 17, 0, 0};
    std::copy(head, head + 12, f.begin() + 14);
    std::copy(srcIp, srcIp + 4, f.begin() + 26);
    std::copy(dstIp, dstIp + 4, f.begin() + 30);
    return f;
}

// Shared-mode interfaces on sim-lan-a, up.
Dev SharedDev(int type, std::vector<std::array<uint8_t, 4>> ips = {}) {
    return Dev(type, std::move(ips), VIFNET32_O_RDWR, kShortWait, 0, "10.1.0.2", VIFNET32_MACMODE_SHARED);
}

}  // namespace

TEST_F(ReadPath, SharedTunSendsWithTheHostMacAndTakesOnlyItsAddresses) {
    const uint8_t guestIp[4] = {10, 1, 0, 77}, hostIp[4] = {10, 1, 0, 2}, otherIp[4] = {10, 1, 0, 78};
    Dev tun = SharedDev(VIFNET32_IFF_TUN, {{10, 1, 0, 77}});
    // Announced at the host's MAC when added and when up.
    ASSERT_EQ(WrenSimSentCount(kLan), 2u);
    EXPECT_EQ(Sent(kLan, 1), Arp(1, kBroadcast, kHostMac, kHostMac, guestIp, kZeroMac, guestIp));
    // Beside it another shared guest, and an own-mode interface, which keeps to its own MAC.
    Dev other = SharedDev(VIFNET32_IFF_TUN, {{10, 1, 0, 78}}),
        own(VIFNET32_IFF_TUN, {{10, 1, 0, 79}}, VIFNET32_O_RDWR, kShortWait);
    WrenSimClearSent(kLan);

    // A packet for a peer nobody knows: the link is asked from the host's MAC, and the answer,
    // sent to that MAC, releases the packet, framed from it.
    const Bytes packet = TunPacket(kPeerIp, 0x11);
    EXPECT_EQ(tun.Write(packet), 28);
    EXPECT_EQ(Sent(kLan, 0), Arp(1, kBroadcast, kHostMac, kHostMac, guestIp, kZeroMac, kPeerIp));
    const Bytes forGuest = IPv4(kHostMac, kPeerMac, kPeerIp, guestIp, 1), forHost = IPv4(kHostMac, kPeerMac, kPeerIp, hostIp, 2);
    const Bytes forOther = IPv4(kHostMac, kPeerMac, kPeerIp, otherIp, 3);
    Inject({Arp(2, kHostMac, kPeerMac, kPeerMac, kPeerIp, kHostMac, guestIp), forHost, forGuest, forOther,
            // Its own announcement, back from the capture; a request for its address.
            Arp(1, kBroadcast, kHostMac, kHostMac, guestIp, kZeroMac, guestIp), ArpRequest(1, kBroadcast, kZeroMac, guestIp)});
    for (const auto& [dev, frame] : {std::pair{&tun, &forGuest}, {&other, &forOther}}) {
        EXPECT_EQ(dev->Read(), Bytes(frame->begin() + 14, frame->end()));
        EXPECT_EQ(dev->Read(), Bytes{});
    }
    EXPECT_EQ(own.Read(), Bytes{});
    ASSERT_EQ(WrenSimSentCount(kLan), 3u);
    EXPECT_EQ(Sent(kLan, 1), TunFrame(kPeerMac, kHostMac, packet));
    EXPECT_EQ(Sent(kLan, 2), Arp(2, kPeerMac, kHostMac, kHostMac, guestIp, kPeerMac, kPeerIp));
    EXPECT_EQ(tun.Stats().n64OwnFramesDropped, 1u);
}

TEST_F(ReadPath, SharedTapIsTranslatedToTheHostMacAndBack) {
    const uint8_t guestMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}, guestIp[4] = {10, 1, 0, 80}, otherIp[4] = {10, 1, 0, 81};
    Dev tap = SharedDev(VIFNET32_IFF_TAP);
    WrenSimClearSent(kLan);
    auto write = [&](const Bytes& f) { EXPECT_EQ(tap.Write(f), int(f.size())); };
    // Its ARP request teaches the library its address; source and sender go out as the host's.
    write(Arp(1, kBroadcast, guestMac, guestMac, guestIp, kZeroMac, kPeerIp));
    EXPECT_EQ(Sent(kLan, 0), Arp(1, kBroadcast, kHostMac, kHostMac, guestIp, kZeroMac, kPeerIp));
    // IPv6 is not translated: it goes out as written.
    const Bytes ipv6 = Frame(kBroadcast, guestMac, 0x86DD, 70);
    write(ipv6);
    EXPECT_EQ(Sent(kLan, 1), ipv6);
    WrenSimClearSent(kLan);

    // Frames for the host's MAC and a learnt address come back to the guest's MAC.
    const Bytes reply = Arp(2, kHostMac, kPeerMac, kPeerMac, kPeerIp, kHostMac, guestIp);
    const Bytes forGuest = IPv4(kHostMac, kPeerMac, kPeerIp, guestIp, 1);
    Inject({IPv4(kHostMac, kPeerMac, kPeerIp, otherIp, 2), reply, forGuest});
    EXPECT_EQ(tap.Read(), Arp(2, guestMac, kPeerMac, kPeerMac, kPeerIp, guestMac, guestIp));
    Bytes expected = forGuest;
    std::copy(guestMac, guestMac + 6, expected.begin());
    EXPECT_EQ(tap.Read(), expected);
    EXPECT_EQ(tap.Read(), Bytes{});

    // A DHCP request goes out asking for a broadcast answer, its checksum following (the sums:
    // the frames unit test); chaddr stays the guest's.
    const uint8_t any[4] = {0, 0, 0, 0}, all[4] = {255, 255, 255, 255};
    const uint8_t udpToFlags[20] = {0, 68, 0, 67, 0, 42, 0x12, 0x34, 1, 1, 6, 0, 0xC3, 0, 0, 0, 0, 0, 0, 0};
    Bytes dhcp = IPv4(kBroadcast, guestMac, any, all);
    dhcp.resize(42 + 34);
    std::copy(udpToFlags, udpToFlags + 20, dhcp.begin() + 34);
    std::copy(guestMac, guestMac + 6, dhcp.begin() + 42 + 28);
    write(dhcp);
    std::copy(kHostMac, kHostMac + 6, dhcp.begin() + 6);
    dhcp[40] = 0x92, dhcp[41] = 0x33, dhcp[52] = 0x80;
    EXPECT_EQ(Sent(kLan, 0), dhcp);
}
