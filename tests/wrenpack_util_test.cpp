// The capture driver's record layout, names and error numbers, which every real receive and
// every failure report goes through.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "wp_driver.h"

namespace {

wp::pcap_pkthdr_wp Header(uint32_t caplen, uint32_t len) { return {{1700000000, 123456}, caplen, len}; }

// The header bytes of the record at `at`, and those of a record of Header(caplen, len).
std::vector<uint8_t> At(const std::vector<uint8_t>& b, size_t at) { return {b.begin() + at, b.begin() + at + 20}; }
std::vector<uint8_t> Expected(uint32_t caplen, uint32_t len) {
    const WP_CAPTURE_HEADER h{1700000000, 123456, caplen, len, 20, 0};
    return {reinterpret_cast<const uint8_t*>(&h), reinterpret_cast<const uint8_t*>(&h + 1)};
}

TEST(CaptureRecord, LaysRecordsBackToBackPaddedToFourBytes) {
    std::vector<uint8_t> buffer(200, 0xEE), frame(61, 0x5A);
    uint32_t used = 0;
    ASSERT_TRUE(wp::PutRecord(buffer.data(), 200, &used, Header(61, 61), frame.data()));
    EXPECT_EQ(used, 20u + 64);
    ASSERT_TRUE(wp::PutRecord(buffer.data(), 200, &used, Header(42, 60), frame.data()));
    EXPECT_EQ(used, 84u + 20 + 44);
    EXPECT_EQ(At(buffer, 0), Expected(61, 61));
    EXPECT_EQ(buffer[20 + 60], 0x5A);
    EXPECT_EQ(buffer[20 + 61], 0);  // padding is zeroed
    EXPECT_EQ(At(buffer, 84), Expected(42, 60));
    // A third does not fit: refused, nothing written.
    EXPECT_FALSE(wp::PutRecord(buffer.data(), 200, &used, Header(61, 61), frame.data()));
    EXPECT_EQ(used, 148u);
    EXPECT_EQ(buffer[148], 0xEE);
    EXPECT_TRUE(wp::PutRecord(buffer.data(), 200, &used, Header(30, 30), frame.data()));  // exactly the rest
    EXPECT_EQ(used, 200u);
}

TEST(CaptureRecord, FrameLargerThanAnEmptyBufferIsCutToFit) {
    std::vector<uint8_t> buffer(1000), frame(65535, 1);
    uint32_t used = 0;
    ASSERT_TRUE(wp::PutRecord(buffer.data(), 1000, &used, Header(65535, 65535), frame.data()));
    EXPECT_EQ(used, 1000u);
    EXPECT_EQ(At(buffer, 0), Expected(980, 65535));
    used = 0;
    EXPECT_FALSE(wp::PutRecord(buffer.data(), 23, &used, Header(60, 60), frame.data()));
}

TEST(DriverErrors, HostErrorsBecomeTheSameNumbersEverywhere) {
    const auto pair = [](wp::Error e) { return std::make_pair(e.err, e.win); };
    EXPECT_EQ(pair(wp::FromText("send: Network is down")), std::make_pair(10050, 10050u));
    EXPECT_EQ(pair(wp::FromText("The interface disappeared")), std::make_pair(19, 55u));
    EXPECT_EQ(pair(wp::FromText("socket: Operation not permitted")), std::make_pair(13, 5u));
    EXPECT_EQ(pair(wp::FromText("something new")), std::make_pair(5, 31u));
    EXPECT_EQ(pair(wp::FromText(nullptr)), std::make_pair(5, 31u));
    EXPECT_EQ(pair(wp::FromStatus(-5, "")), std::make_pair(2, 1168u));
    EXPECT_EQ(pair(wp::FromStatus(-8, "")), std::make_pair(13, 5u));
    EXPECT_EQ(pair(wp::FromStatus(-1, "send: Network is down")), std::make_pair(10050, 10050u));
    EXPECT_EQ(pair(wp::FromErrno(ENXIO)), std::make_pair(19, 55u));
    EXPECT_EQ(pair(wp::FromErrno(EPERM)), std::make_pair(13, 5u));
    EXPECT_EQ(pair(wp::FromErrno(EMSGSIZE)), std::make_pair(10040, 10040u));
}

TEST(DriverNames, NarrowAndWidenRoundTripAndTruncate) {
    WP_CHAR16 wide[8];
    wp::Widen("\\Device\\NPF_{X}", wide, 8);
    EXPECT_EQ(wp::Narrow(wide), "\\Device");
    const WP_CHAR16 accented[] = {u'e', 0x80, 0xE9, 0x20AC, 0};
    EXPECT_EQ(wp::Narrow(accented), "e\xC2\x80\xC3\xA9\xE2\x82\xAC");
}

}  // namespace

// An 802.11 device shows a `wireless` node or a `phy80211` link in sysfs; Ethernet shows neither.
TEST(AdapterList, WirelessDevicesAreKnownBySysfsNodes) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("wp-sysfs-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                                     std::to_string(reinterpret_cast<uintptr_t>(&root) & 0xFFFF));
    fs::create_directories(root / "wlan0" / "wireless");
    fs::create_directories(root / "wlp2s0");
    std::error_code ec;
    fs::create_symlink(root / "no-such-phy", root / "wlp2s0" / "phy80211", ec);
    const bool linked = !ec;
    fs::create_directories(root / "eth0" / "statistics");
    EXPECT_TRUE(wp::IsWirelessDevice(root.string(), "wlan0"));
    if (linked) {
        EXPECT_TRUE(wp::IsWirelessDevice(root.string(), "wlp2s0"));  // dangling, as in a fresh namespace
    }
    EXPECT_FALSE(wp::IsWirelessDevice(root.string(), "eth0"));
    EXPECT_FALSE(wp::IsWirelessDevice(root.string(), "absent0"));
    fs::remove_all(root, ec);
}
