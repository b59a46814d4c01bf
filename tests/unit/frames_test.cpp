// The capture-record walk at its edges. The fuzz targets check the walk, replies, announcements and
// framing on every input; the read and write tests check selection and the ARP responder end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "iface/frames.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A capture record header as the driver writes it: captured length at 8, header length at 16.
void PutRecordHeader(std::uint8_t* at, std::uint32_t capLen, std::uint16_t hdrLen) {
    std::memcpy(at + 8, &capLen, 4);
    std::memcpy(at + 16, &hdrLen, 2);
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

// A DHCP client's request gets the broadcast flag; its UDP checksum follows, a missing one
// (0) stays missing, and a sum that comes to 0 is sent as 0xFFFF, which means the same.
TEST(Frames, DHCPRequestsAskForABroadcastAnswer) {
    using Case = std::tuple<std::uint16_t, std::uint8_t, std::uint16_t, std::uint16_t, bool, std::uint16_t>;
    // client port, BOOTP op, flags, UDP checksum before; changed?, checksum after
    for (const auto& [port, op, flags, before, changed, after] :
         {Case{68, 1, 0x0000, 0x1234, true, 0x9233}, Case{68, 1, 0x0000, 0x0000, true, 0x0000},
          Case{68, 1, 0x0000, 0x8000, true, 0xFFFF}, Case{68, 1, 0x8000, 0x1234, false, 0x1234},
          Case{68, 2, 0x0000, 0x1234, false, 0x1234}, Case{69, 1, 0x0000, 0x1234, false, 0x1234}}) {
        Bytes f(14 + 20 + 8 + 12);
        f[12] = 0x08, f[14] = 0x45, f[23] = 17;
        f[35] = std::uint8_t(port), f[37] = 67, f[40] = std::uint8_t(before >> 8), f[41] = std::uint8_t(before);
        f[42] = op, f[52] = std::uint8_t(flags >> 8);
        // One byte short of the flags: nothing is read or written there.
        EXPECT_FALSE(frames::SetDHCPBroadcastFlag(f.data(), std::uint32_t(f.size() - 1)));
        EXPECT_EQ(frames::SetDHCPBroadcastFlag(f.data(), std::uint32_t(f.size())), changed) << port << " " << int(op);
        EXPECT_EQ(frames::Get16(f.data() + 52), changed ? 0x8000 : flags) << before;
        EXPECT_EQ(frames::Get16(f.data() + 40), after) << before;
    }
}
