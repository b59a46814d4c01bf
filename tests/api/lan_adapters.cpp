// The host adapters every caller-side test program works on, declared before anything asks
// the library for its adapter list (which it reads once per process):
//   sim-lan-a  00:1A:2B:3C:4D:5E  10.1.0.2/24
//   sim-lan-b  02:11:22:33:44:55  192.168.7.1/24
//   sim-lan-c  02:66:77:88:99:AA  172.16.4.2/24, gateway 192.168.7.1 (sim-lan-b: a gateway
//              whose MAC the host knows without asking the network); the checksums of frames
//              the host sends on it are left to the adapter (offloaded TCP, UDP and IP)
//   sim-lan-d  02:44:55:66:77:01  10.4.0.2/24, whose address and frame size tests change
//   sim-lan-e  02:0E:0E:0E:0E:01  10.5.0.2/24, a wireless adapter
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class LanAdapters : public testing::Environment {
public:
    void SetUp() override {
        WrenSimReset();
        const uint8_t ipB[4] = {192, 168, 7, 1}, mask[4] = {255, 255, 255, 0};
        auto c = vtest::MakeAdapter(u"sim-lan-c", {0x02, 0x66, 0x77, 0x88, 0x99, 0xAA}, {172, 16, 4, 2}, mask);
        std::memcpy(&c.GatewayIPAddr, ipB, 4);
        c.nOffloadInfo = 1;
        c.nChecksumOffloadFlags = 0x1C;
        auto e = vtest::MakeAdapter(u"sim-lan-e", {0x02, 0x0E, 0x0E, 0x0E, 0x0E, 0x01}, {10, 5, 0, 2}, mask);
        e.nAdapterFlags = WP_ADAPTER_WIRELESS;
        for (const auto& adapter :
             {vtest::MakeAdapter(u"sim-lan-a", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, {10, 1, 0, 2}, mask),
              vtest::MakeAdapter(u"sim-lan-b", {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, ipB, mask), c, vtest::LanD(), e})
            ASSERT_TRUE(WrenSimAddAdapter(&adapter));
        vtest::SetDefaultIFace("");
    }
};
const auto* const kLanAdapters = testing::AddGlobalTestEnvironment(new LanAdapters);

}  // namespace
