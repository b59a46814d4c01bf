#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "iface/frames.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kIface = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x05};
const Bytes kPeer = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Bytes kOther = {0x00, 0x50, 0x56, 0x01, 0x02, 0x03};
const Bytes kBroadcast(6, 0xFF);

// A capture record header as the driver writes it: captured length at 8, header length at 16.
void PutRecordHeader(std::uint8_t* at, std::uint32_t capLen, std::uint16_t hdrLen) {
    std::memcpy(at + 8, &capLen, 4);
    std::memcpy(at + 16, &hdrLen, 2);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A 60-byte broadcast ARP request from the peer (10.0.0.1) for 10.0.0.5; the last 18 bytes are
// padding.
Bytes ARPRequest(std::uint8_t etherHi = 0x08, std::uint8_t etherLo = 0x06, std::uint8_t op = 1) {
    Bytes f = Cat({kBroadcast, kPeer, {etherHi, etherLo, 0, 1, 0x08, 0, 6, 4, 0, op}, kPeer, {10, 0, 0, 1},
                   Bytes(6, 0), {10, 0, 0, 5}});
    f.resize(60, 0xEE);
    return f;
}

}  // namespace

TEST(Frames, WalkFindsEachRecordAtItsAlignedOffset) {
    Bytes buf(80 + 18 + 15);
    PutRecordHeader(buf.data(), 58, 20);
    PutRecordHeader(buf.data() + 80, 15, 18);  // the last record may end unaligned
    std::uint8_t* pos = buf.data();
    frames::Record rec;
    ASSERT_TRUE(frames::NextRecord(pos, buf.data() + buf.size(), rec));
    EXPECT_EQ(rec.frame, buf.data() + 20);
    EXPECT_EQ(rec.length, 58u);  // offsets 20 to 77
    EXPECT_EQ(pos, buf.data() + 80);
    ASSERT_TRUE(frames::NextRecord(pos, buf.data() + buf.size(), rec));
    EXPECT_EQ(rec.frame, buf.data() + 98);
    EXPECT_EQ(pos, buf.data() + buf.size());
    EXPECT_FALSE(frames::NextRecord(pos, buf.data() + buf.size(), rec));
}

TEST(Frames, HostileLengthsEndTheWalk) {
    struct Case { std::size_t size; std::uint32_t capLen; std::uint16_t hdrLen; };
    for (const Case c : {Case{20 + 59, 60, 20},        // captured frame runs one byte past the buffer
                         Case{17, 0, 17},              // header too short to hold the header length
                         Case{100, 10, 4},             // header length inside the header itself
                         Case{100, 0xFFFFFFFF, 20},    // would wrap a 32-bit sum
                         Case{100, 0xFFFFFFEC, 20}}) { // would wrap to exactly 0
        Bytes buf(c.size);
        if (c.size >= 18) PutRecordHeader(buf.data(), c.capLen, c.hdrLen);
        std::uint8_t* pos = buf.data();
        frames::Record rec;
        EXPECT_FALSE(frames::NextRecord(pos, buf.data() + buf.size(), rec)) << c.size << " " << c.capLen;
        EXPECT_EQ(pos, buf.data() + buf.size());
    }
}

TEST(Frames, SelectionOrder) {
    using frames::Verdict;
    auto verdict = [](const Bytes& dst, const Bytes& src, bool promiscuous) {
        Bytes f = Cat({dst, src, {0x08, 0x00}});
        return frames::Select(f.data(), promiscuous, kIface.data(), kBroadcast.data());
    };
    EXPECT_EQ(verdict(kOther, kPeer, true), Verdict::Keep);
    EXPECT_EQ(verdict(kOther, kIface, true), Verdict::Keep);  // promiscuous: own transmissions too
    EXPECT_EQ(verdict({0x01, 0x00, 0x5E, 0, 0, 0xFB}, kIface, false), Verdict::Keep);
    EXPECT_EQ(verdict(kBroadcast, kPeer, false), Verdict::Keep);
    EXPECT_EQ(verdict(kIface, kPeer, false), Verdict::Keep);
    EXPECT_EQ(verdict(kOther, kIface, false), Verdict::OwnDropped);
    EXPECT_EQ(verdict(kOther, kBroadcast, false), Verdict::OwnDropped);
    EXPECT_EQ(verdict(kOther, kPeer, false), Verdict::Discard);
}

TEST(Frames, ARPRequestQualifiesOnlyWhenWholeAndAddressed) {
    const Bytes req = ARPRequest();
    EXPECT_TRUE(frames::IsARPRequest(req.data(), 42, 1, kIface.data()));
    EXPECT_FALSE(frames::IsARPRequest(req.data(), 41, 1, kIface.data()));
    EXPECT_FALSE(frames::IsARPRequest(req.data(), 60, 3, kIface.data()));
    const Bytes reply = ARPRequest(0x08, 0x06, 2);
    EXPECT_FALSE(frames::IsARPRequest(reply.data(), 60, 1, kIface.data()));
    Bytes toOther = req;
    std::memcpy(toOther.data(), kOther.data(), 6);
    EXPECT_FALSE(frames::IsARPRequest(toOther.data(), 60, 1, kIface.data()));
    std::memcpy(toOther.data(), kIface.data(), 6);
    EXPECT_TRUE(frames::IsARPRequest(toOther.data(), 60, 1, kIface.data()));
}

TEST(Frames, RepliesAndAnnouncementLayouts) {
    Bytes arp = ARPRequest();
    frames::MakeARPReply(arp.data(), kIface.data());
    Bytes expected = Cat({kPeer, kIface, {0x08, 0x06, 0, 1, 0x08, 0, 6, 4, 0, 2}, kIface, {10, 0, 0, 5}, kPeer,
                          {10, 0, 0, 1}});
    expected.resize(60, 0xEE);  // only the 42 bytes of the reply change
    EXPECT_EQ(arp, expected);

    Bytes rarp = ARPRequest(0x80, 0x35, 3);
    std::memcpy(rarp.data() + 32, kIface.data(), 6);  // asks for the interface's address
    frames::MakeRARPReply(rarp.data(), kIface.data(), 0);
    expected = Cat({kPeer, kIface, {0x80, 0x35, 0, 1, 0x08, 0, 6, 4, 0, 4}, kIface, {0, 0, 0, 0}, kIface, {0, 0, 0, 0}});
    expected.resize(60, 0xEE);
    EXPECT_EQ(rarp, expected);

    Bytes announcement(42, 0xEE);
    const std::uint8_t ip[4] = {10, 0, 0, 5};
    std::uint32_t addr;
    std::memcpy(&addr, ip, 4);
    frames::MakeGratuitousARP(announcement.data(), kIface.data(), addr);
    EXPECT_EQ(announcement, Cat({kBroadcast, kIface, {0x08, 0x06, 0, 1, 0x08, 0, 6, 4, 0, 1}, kIface, {10, 0, 0, 5},
                                 Bytes(6, 0), {10, 0, 0, 5}}));
}

TEST(Frames, TunFramingAndBatchRecord) {
    Bytes packet(20);
    for (std::size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<std::uint8_t>(i);
    std::uint32_t ip = 0;
    EXPECT_FALSE(frames::TunDestination(packet.data(), 19, ip));
    ASSERT_TRUE(frames::TunDestination(packet.data(), 20, ip));
    EXPECT_EQ(0, std::memcmp(&ip, packet.data() + 16, 4));

    Bytes frame(14 + packet.size());
    frames::PutTunHeader(frame.data(), kPeer.data(), kIface.data());
    std::memcpy(frame.data() + 14, packet.data(), packet.size());
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 14), Cat({kPeer, kIface, {0x08, 0x00}}));

    Bytes batch(16 + frame.size(), 0xEE);
    EXPECT_EQ(frames::PutBatchRecord(batch.data(), frame.data(), 34), 50u);
    const std::uint32_t length = 34;
    Bytes header(16, 0);
    std::memcpy(header.data() + 8, &length, 4);
    EXPECT_EQ(Bytes(batch.begin(), batch.begin() + 16), header);
    EXPECT_EQ(Bytes(batch.begin() + 16, batch.end()), frame);
}
