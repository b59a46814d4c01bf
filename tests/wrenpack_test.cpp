// The simulated WrenPack driver. Checked by the library's tests instead: the settings and sends it
// records, the capture record of an injected frame (the read tests read such frames back whole),
// and the frames it refuses (a batch refused partway and the largest frame: the write tests).
#include "wrensim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
static bool signalled(WP_EVENT ev) { return WaitForSingleObject(ev, 0) == WAIT_OBJECT_0; }
#else
#include <poll.h>
static bool signalled(WP_EVENT ev) {
    pollfd p{ev, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;
const WP_CHAR16* const kEth0 = u"eth0";

Bytes recv(WP_HANDLE h, uint32_t capacity = 4096) {
    Bytes buf(capacity);
    uint32_t got = 0xDEAD;
    EXPECT_EQ(WrenPackRecvPacket(h, buf.data(), capacity, &got, nullptr), 1);
    buf.resize(got);
    return buf;
}

// Every test starts with eth0 declared; handles from open() are closed after it.
class WrenPack : public ::testing::Test {
protected:
    void SetUp() override {
        WrenSimReset();
        ADAPTER_INFO_LIST_ENTRY entry{};
        std::u16string(kEth0).copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
        ASSERT_EQ(WrenSimAddAdapter(&entry), 1);
    }
    void TearDown() override { std::for_each(open_.begin(), open_.end(), WrenPackCloseAdapter); }
    WP_HANDLE open() { return open_.emplace_back(WrenPackOpenAdapter(kEth0)); }
    std::vector<WP_HANDLE> open_;
};

// Each handle reads its own copy of every buffer injected while it is open, split by small
// receives but never joined with the next; its event is set while it has something to read.
TEST_F(WrenPack, ReceiveBuffersReachEveryOpenHandleSplitButNeverJoined) {
    Bytes data(100);
    std::iota(data.begin(), data.end(), uint8_t(1));
    EXPECT_EQ(WrenSimInjectBuffer(kEth0, data.data(), 1), 0);  // nobody listening: dropped
    WP_HANDLE a = open();
    EXPECT_TRUE(recv(a).empty());
    const WP_EVENT ev = WrenPackGetWin32ReadEventHandle(a);
    ASSERT_EQ(WrenSimInjectBuffer(kEth0, data.data(), 100), 1);
    WP_HANDLE b = open();
    ASSERT_EQ(WrenSimInjectBuffer(kEth0, data.data(), 10), 1);
    EXPECT_EQ(WrenSimPendingBuffers(kEth0), 2u);
    EXPECT_EQ(recv(a, 30), Bytes(data.begin(), data.begin() + 30));
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(recv(a), Bytes(data.begin() + 30, data.end()));
    EXPECT_EQ(WrenSimPendingBuffers(kEth0), 1u);
    EXPECT_EQ(recv(b).size(), 10u);
    EXPECT_FALSE(signalled(WrenPackGetWin32ReadEventHandle(b)));
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(recv(a).size(), 10u);
    EXPECT_FALSE(signalled(ev));
}

}  // namespace
