#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "host/checksum.h"
#include "host/mac.h"

namespace {

// The textbook form: one big-endian word at a time.
std::uint16_t ReferenceSum(const std::uint8_t* p, std::size_t n) {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i < n; i += 2)
        s += (p[i] << 8) | (i + 1 < n ? p[i + 1] : 0);
    while (s >> 16)
        s = (s & 0xFFFF) + (s >> 16);
    return static_cast<std::uint16_t>(s);
}

// Ethernet + IPv4 (10.0.0.1 -> 10.0.0.2) + transport bytes, every checksum field garbage.
std::vector<std::uint8_t> Frame(std::uint8_t protocol, unsigned transportLength, std::mt19937& rng) {
    std::vector<std::uint8_t> f(14 + 20 + transportLength);
    for (auto& b : f)
        b = static_cast<std::uint8_t>(rng());
    const std::uint8_t head[] = {
        0x08, 0x00, 0x45, 0, std::uint8_t((20 + transportLength) >> 8), std::uint8_t(20 + transportLength)};
    std::memcpy(f.data() + 12, head, sizeof head);
    f[23] = protocol;
    const std::uint8_t addrs[] = {10, 0, 0, 1, 10, 0, 0, 2};
    std::memcpy(f.data() + 26, addrs, sizeof addrs);
    if (protocol == 17 && transportLength >= 8) {
        f[38] = std::uint8_t(transportLength >> 8);
        f[39] = std::uint8_t(transportLength);
    }
    return f;
}

void ExpectValid(const std::uint8_t* ip, std::uint32_t transportLength) {
    EXPECT_EQ(CalcChecksum(ip, 20), 0xFFFF);
    const std::uint32_t s = CalcChecksum(ip + 20, transportLength) + CalcPseudoHeaderSum(ip);
    EXPECT_EQ((s & 0xFFFF) + (s >> 16), 0xFFFFu);
}

// A copy is allocated at exactly its size, so the address sanitizer sees any stray access.
std::vector<std::uint8_t> Fixed(std::vector<std::uint8_t> f) {
    FixIPChecksums(f.data(), static_cast<std::uint32_t>(f.size()));
    return f;
}

}  // namespace

TEST(Checksum, KnownValues) {
    EXPECT_EQ(CalcChecksum("abc", 3), 0xC462);
    EXPECT_EQ(CalcInetChecksum("abc", 3), 0x3B9D);
    EXPECT_EQ(CalcChecksum(nullptr, 0), 0x0000);
    EXPECT_EQ(CalcInetChecksum(nullptr, 0), 0xFFFF);
    const std::uint8_t ones[2] = {0xFF, 0xFF};
    EXPECT_EQ(CalcChecksum(ones, 2), 0xFFFF);
    EXPECT_EQ(CalcInetChecksum(ones, 2), 0x0000);
    const std::uint8_t header[20] = {0x45, 0x00, 0x00, 0x3C, 0x1C, 0x46, 0x40, 0x00, 0x40, 0x06,
                                     0x00, 0x00, 0xAC, 0x10, 0x0A, 0x63, 0xAC, 0x10, 0x0A, 0x0C};
    EXPECT_EQ(CalcInetChecksum(header, 20), 0xB1E6);
}

TEST(Checksum, MatchesReferenceAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> buf(300000);
    for (auto& b : buf)
        b = static_cast<std::uint8_t>(rng());
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    for (std::size_t n : {1499u, 1500u, 65535u, 65536u, 299993u})
        lengths.push_back(n);
    for (std::size_t n : lengths)
        for (std::size_t off = 0; off < 8 && off + n <= buf.size(); ++off)
            ASSERT_EQ(CalcChecksum(buf.data() + off, static_cast<std::uint32_t>(n)), ReferenceSum(buf.data() + off, n))
                << "length " << n << " offset " << off;
    // Every word at its maximum: the carries must all come back in.
    std::vector<std::uint8_t> ff(1 << 20, 0xFF);
    EXPECT_EQ(CalcChecksum(ff.data() + 1, static_cast<std::uint32_t>(ff.size() - 1)), ReferenceSum(ff.data() + 1, ff.size() - 1));
}

TEST(FixIPChecksums, RepairsTcpAndUdpAndWalksPackets) {
    std::mt19937 rng(3);
    auto tcp = Fixed(Frame(6, 20 + 37, rng));
    ExpectValid(tcp.data() + 14, 57);
    auto udp = Fixed(Frame(17, 8 + 101, rng));
    ExpectValid(udp.data() + 14, 109);

    // Two packets back to back: the second is found through the first one's total length.
    auto two = Frame(6, 40, rng);
    auto second = Frame(17, 30, rng);
    two.insert(two.end(), second.begin() + 14, second.end());
    two = Fixed(two);
    ExpectValid(two.data() + 14, 40);
    ExpectValid(two.data() + 14 + 60, 30);
}

TEST(FixIPChecksums, LeavesWhatItCannotRepairAndStaysInsideTheFrame) {
    std::mt19937 rng(5);
    auto arp = Frame(6, 40, rng);
    arp[13] = 0x06;
    EXPECT_EQ(Fixed(arp), arp);
    auto bare = Frame(6, 0, rng);  // only 20 IP bytes
    EXPECT_EQ(Fixed(bare), bare);

    auto zeroTotal = Frame(6, 40, rng);
    zeroTotal[16] = zeroTotal[17] = 0;
    EXPECT_EQ(Fixed(zeroTotal), zeroTotal);

    auto shortHeader = Frame(17, 40, rng);
    shortHeader[14] = 0x41;  // 4-byte header
    EXPECT_EQ(Fixed(shortHeader), shortHeader);

    for (std::size_t size : {34u, 35u, 60u}) {
        auto longHeader = Frame(6, 40, rng);
        longHeader[14] = 0x4F;  // 60-byte header
        longHeader.resize(size);
        EXPECT_EQ(Fixed(longHeader), longHeader) << size;
    }

    // Total length past the frame: the header is still repaired, the cut transport is not.
    auto cut = Frame(6, 60, rng);
    cut[16] = 0x05;
    cut[17] = 0xDC;
    auto out = Fixed(cut);
    EXPECT_EQ(CalcChecksum(out.data() + 14, 20), 0xFFFF);
    EXPECT_TRUE(std::equal(out.begin() + 34, out.end(), cut.begin() + 34));

    // Random headers over random sizes: only the sanitizer can judge these.
    for (int i = 0; i < 5000; ++i) {
        auto f = Frame(rng() % 2 ? 6 : 17, rng() % 120, rng);
        std::uniform_int_distribution<int> at(14, static_cast<int>(f.size()) - 1);
        for (int k = 0; k < 3; ++k)
            f[at(rng)] = static_cast<std::uint8_t>(rng());
        f.resize(14 + rng() % (f.size() - 13));
        Fixed(f);
    }
}

TEST(Mac, BuildAndParse) {
    using Bytes = std::vector<std::uint8_t>;
    std::uint8_t mac[6];
    const std::uint8_t a[4] = {192, 168, 1, 10}, b[4] = {10, 0, 0, 5};
    BuildTarnIfaceMAC(mac, a);
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x02, 0x00, 0x5E, 0xA8, 0x01, 0x0A}));
    BuildTarnIfaceMAC(mac, b);
    EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x02, 0x00, 0x5E, 0x80, 0x00, 0x05}));

    for (const wchar_t* ok : {L"00:1A:2b:3C:4d:5E", L"00-1A-2B-3C-4D-5E"}) {
        EXPECT_TRUE(ParseMACString(ok, mac)) << ok;
        EXPECT_EQ(Bytes(mac, mac + 6), (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    }
    for (const wchar_t* bad : {L"00:1A-2B:3C:4D:5E", L"00:1A:2B:3C:4D:5", L"00:1A:2B:3C:4D:5E:", L"00.1A.2B.3C.4D.5E",
                               L"00:1A:2G:3C:4D:5E", L"00:1A:2B:3C:4D: E"})
        EXPECT_FALSE(ParseMACString(bad, mac)) << bad;
    // The bytes before the fault are kept, nothing after it is written.
    std::uint8_t part[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ParseMACString(L"00:1A:2B-3C:4D:5E", part));
    EXPECT_EQ(Bytes(part, part + 6), (Bytes{0x00, 0x1A, 9, 9, 9, 9}));
}
