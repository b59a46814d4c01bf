// The byte-level frame code at its edges. The fuzz targets check the replies, announcements and TUN
// framing field by field on every input; the read and write tests check them end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
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

}  // namespace

TEST(Frames, WalkFindsEachRecordAtItsAlignedOffset) {
    Bytes buf(80 + 18 + 15);
    PutRecordHeader(buf.data(), 58, 20);
    PutRecordHeader(buf.data() + 80, 15, 18);  // the last record may end unaligned
    std::uint8_t* pos = buf.data();
    frames::Record rec;
    ASSERT_TRUE(frames::NextRecord(pos, buf.data() + buf.size(), rec));
    EXPECT_EQ(rec.frame, buf.data() + 20);
    EXPECT_EQ(rec.length, 58u);
    EXPECT_EQ(pos, buf.data() + 80);
    ASSERT_TRUE(frames::NextRecord(pos, buf.data() + buf.size(), rec));
    EXPECT_EQ(rec.frame, buf.data() + 98);
    EXPECT_EQ(pos, buf.data() + buf.size());
    EXPECT_FALSE(frames::NextRecord(pos, buf.data() + buf.size(), rec));
}

TEST(Frames, HostileLengthsEndTheWalk) {
    using Case = std::tuple<std::size_t, std::uint32_t, std::uint16_t>;       // buffer size, captured and header length
    for (const auto& [size, capLen, hdrLen] : {Case{20 + 59, 60, 20},         // captured frame runs one byte past the buffer
                                               Case{17, 0, 17},               // too short to hold the header length
                                               Case{100, 10, 4},              // header length inside the header itself
                                               Case{100, 0xFFFFFFFF, 20},     // would wrap a 32-bit sum
                                               Case{100, 0xFFFFFFEC, 20}}) {  // would wrap to exactly 0
        Bytes buf(size);
        if (size >= 18) PutRecordHeader(buf.data(), capLen, hdrLen);
        std::uint8_t* pos = buf.data();
        frames::Record rec;
        EXPECT_FALSE(frames::NextRecord(pos, buf.data() + buf.size(), rec)) << size << " " << capLen;
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

// The fuzz target checks that every request that qualifies keeps the rules; this, the ones that must.
TEST(Frames, ARPRequestQualifiesOnlyWhenWholeAndAddressed) {
    Bytes req =
        Cat({kBroadcast, kPeer, {0x08, 0x06, 0, 1, 0x08, 0, 6, 4, 0, 1}, kPeer, {10, 0, 0, 1}, Bytes(6, 0), {10, 0, 0, 5}});
    req.resize(60, 0xEE);
    EXPECT_TRUE(frames::IsARPRequest(req.data(), 42, 1, kIface.data()));
    EXPECT_FALSE(frames::IsARPRequest(req.data(), 41, 1, kIface.data()));
    EXPECT_FALSE(frames::IsARPRequest(req.data(), 60, 3, kIface.data()));
    std::memcpy(req.data(), kOther.data(), 6);
    EXPECT_FALSE(frames::IsARPRequest(req.data(), 60, 1, kIface.data()));
    std::memcpy(req.data(), kIface.data(), 6);
    EXPECT_TRUE(frames::IsARPRequest(req.data(), 60, 1, kIface.data()));
    // A reply would go to the sender's hardware address: a group or nobody is not answered.
    for (const Bytes& sender : {kBroadcast, Bytes{0x01, 0x00, 0x5E, 0, 0, 1}, Bytes(6, 0)}) {
        std::memcpy(req.data() + 22, sender.data(), 6);
        EXPECT_FALSE(frames::IsARPRequest(req.data(), 60, 1, kIface.data())) << int(sender[0]);
    }
}
