#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "api/test_support.h"
#include "host/checksum.h"
#include "host/mac.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Ethernet + IPv4 (10.0.0.1 -> 10.0.0.2) + transport bytes (UDP: with its length), every checksum wrong.
Bytes Frame(std::uint8_t protocol, unsigned transportLength, std::mt19937& rng) {
    Bytes f(14 + 20 + transportLength);
    std::generate(f.begin(), f.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    const unsigned total = 20 + transportLength;
    const std::uint8_t head[] = {0x08, 0x00, 0x45, 0, std::uint8_t(total >> 8), std::uint8_t(total)};
    const std::uint8_t rest[] = {protocol, 0xDE, 0xAD, 10, 0, 0, 1, 10, 0, 0, 2};
    std::memcpy(f.data() + 12, head, sizeof head);
    std::memcpy(f.data() + 23, rest, sizeof rest);
    if (protocol == 17) f[38] = std::uint8_t(transportLength >> 8), f[39] = std::uint8_t(transportLength);
    return f;
}

void ExpectValid(const std::uint8_t* ip, std::uint32_t transportLength) {
    const std::uint8_t pseudo[4] = {0, ip[9], std::uint8_t(transportLength >> 8), std::uint8_t(transportLength)};
    EXPECT_EQ(CalcChecksum(ip, 20), 0xFFFF);
    EXPECT_EQ((CalcChecksum(ip + 20, transportLength) + CalcChecksum(ip + 12, 8) + CalcChecksum(pseudo, 4)) % 0xFFFF, 0u);
}

Bytes Fixed(Bytes f) {  // a copy of exactly its size: the address sanitizer sees any stray access
    FixIPChecksums(f.data(), static_cast<std::uint32_t>(f.size()));
    return f;
}

}  // namespace

TEST(Checksum, MatchesTheReferenceAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    Bytes random(1 << 20), ones(1 << 20, 0xFF);  // all ones: every carry must come back in
    std::generate(random.begin(), random.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    std::vector<std::size_t> lengths = {1499, 1500, 65535, 65536, 299993, (1 << 20) - 1};
    for (std::size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    for (const Bytes* buf : {&random, &ones})
        for (std::size_t n : lengths)
            for (std::size_t off = 0; off < 8 && off + n <= buf->size(); ++off)
                ASSERT_EQ(CalcChecksum(buf->data() + off, static_cast<std::uint32_t>(n)), vtest::Sum(buf->data() + off, n))
                    << "length " << n << " offset " << off;
}

// That nothing outside the frame is touched, whatever it holds, the fuzz target checks.
TEST(FixIPChecksums, RepairsWhatItCanAndLeavesTheRest) {
    std::mt19937 rng(3);
    // Two packets back to back, odd lengths: the second is found through the first one's total
    // length; each fills what it has, the datagram its packet and the segment the rest of the frame.
    Bytes two = Frame(17, 8 + 101, rng);
    const Bytes second = Frame(6, 20 + 37, rng);
    two.insert(two.end(), second.begin() + 14, second.end());
    two = Fixed(two);
    ExpectValid(two.data() + 14, 109);
    ExpectValid(two.data() + 14 + 129, 57);

    using Change = std::tuple<std::size_t, std::uint8_t, std::size_t>;  // byte, its new value, frame size (0: kept)
    for (const auto& [at, value, size] : {Change{13, 0x06, 0},          // ARP
                                          Change{14, 0x45, 34},         // only 20 IP bytes
                                          Change{17, 0x00, 0},          // total length 0
                                          Change{14, 0x41, 0},          // 4-byte header
                                          Change{14, 0x4F, 35}}) {      // 60-byte header past the frame
        Bytes f = Frame(17, 40, rng);
        f[at] = value;
        if (size) f.resize(size);
        EXPECT_EQ(Fixed(f), f) << at << " " << size;
    }
    // A header with options is summed whole.
    Bytes options = Frame(6, 4 + 40, rng);
    options[14] = 0x46;
    EXPECT_EQ(CalcChecksum(Fixed(options).data() + 14, 24), 0xFFFF);
    // Total length past the frame: the header is still repaired, the cut transport is not.
    Bytes cut = Frame(6, 60, rng);
    cut.resize(14 + 20 + 30);
    const Bytes out = Fixed(cut);
    EXPECT_EQ(CalcChecksum(out.data() + 14, 20), 0xFFFF);
    EXPECT_TRUE(std::equal(out.begin() + 34, out.end(), cut.begin() + 34));
}

// Texts that parse are opened by the caller-side open tests, in either separator and case.
TEST(Mac, ParseTakesOneSeparatorThroughout) {
    std::uint8_t mac[6];
    for (const wchar_t* bad : {L"00:1A-2B:3C:4D:5E", L"00:1A:2B:3C:4D-5E", L"00:1A:2B:3C:4D:5", L"00:1A:2B:3C:4D:5E:",
                               L"00.1A.2B.3C.4D.5E", L"00:1A:2G:3C:4D:5E", L"00:1A:2B:3C:4D: E"})
        EXPECT_FALSE(ParseMACString(bad, mac)) << bad;
}
