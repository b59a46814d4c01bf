#include <gtest/gtest.h>

#include <vector>

#include "wrenlib.h"

// The address texts of the DefaultIFace setting. The MAC and IP texts the library writes are in
// the exact messages and dumps of the caller-side settings tests.
TEST(WrenLib, MacText) {
    const std::uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    for (const wchar_t* text : {L"00-1A-2B-3C-4D-5E", L"00:1a:2b:3c:4d:5e", L"001A2B3C4D5E"}) {
        std::uint8_t back[6] = {};
        EXPECT_TRUE(ParseMACAddress(text, back)) << text;
        EXPECT_EQ(std::vector<std::uint8_t>(back, back + 6), std::vector<std::uint8_t>(mac, mac + 6)) << text;
    }
    // A rejected text leaves the caller's bytes alone.
    for (const wchar_t* text : {L"00-1A:2B-3C-4D-5E", L"00-1A-2B-3C-4D-5", L"001A2B3C4D5G", L"00.1A.2B.3C.4D.5E", L""}) {
        std::uint8_t back[6] = {7, 7, 7, 7, 7, 7};
        EXPECT_FALSE(ParseMACAddress(text, back)) << text;
        EXPECT_EQ(back[0], 7) << text;
    }
}

TEST(WrenLib, IPText) {
    std::uint32_t a = 0;
    EXPECT_TRUE(ParseIPAddress(L"192.168.1.10", a, false));
    EXPECT_EQ(a, 0xC0A8010Au);
    EXPECT_TRUE(ParseIPAddress(L"255.255.255.255", a, false));
    EXPECT_EQ(a, 0xFFFFFFFFu);
    // One text for each way to fail: a part missing, too large (or wrapping to 0), empty, or
    // followed by more.
    for (const wchar_t* bad : {L"1.2.3", L"256.1.1.1", L"4294967296.1.1.1", L"1..2.3", L"1.2.3.4 "})
        EXPECT_FALSE(ParseIPAddress(bad, a, false)) << bad;
}
