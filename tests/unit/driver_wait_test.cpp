// The reader thread waits on its own events and on the packet driver's read event at once:
// the platform's wait must accept both kinds of handle.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "wrensim.h"

TEST(DriverReadEvent, WaitedOnTogetherWithTheLibrarysEvents) {
    WrenSimReset();
    ADAPTER_INFO_LIST_ENTRY entry{};
    std::u16string(u"wait0").copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
    ASSERT_TRUE(WrenSimAddAdapter(&entry));
    WP_HANDLE h = WrenPackOpenAdapter(entry.szAdapterName);
    ASSERT_NE(h, nullptr);
    plat::WaitHandle driverEvent = WrenPackGetWin32ReadEventHandle(h);
    ASSERT_NE(driverEvent, plat::kNoWaitHandle);

    plat::CEvent stop;
    const plat::WaitHandle handles[2] = {stop.Handle(), driverEvent};
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitTimeout);

    const unsigned char frame[60] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(WrenSimInjectFrame(entry.szAdapterName, frame, sizeof frame));
    EXPECT_EQ(plat::WaitForAny(handles, 2, plat::kInfinite), plat::kWaitObject0 + 1);

    // Drained: the driver's event falls back; the stop event still wins when set.
    unsigned char buffer[256];
    uint32_t got = 0;
    ASSERT_TRUE(WrenPackRecvPacket(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 20u + 60u);
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitTimeout);
    stop.Set();
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitObject0);
    WrenPackCloseAdapter(h);
    WrenSimReset();
}
