// The simulated WrenPack driver. The settings and sends it records, and the capture record of an
// injected frame, are checked by the library's tests (the read tests read such frames back whole).
#include "wrensim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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

void expectError(int err, uint32_t win) {
    EXPECT_EQ(errno, err);
    EXPECT_EQ(WrenPackGetLastError(), win);
}

Bytes recv(WP_HANDLE h, uint32_t capacity = 4096) {
    Bytes buf(capacity);
    uint32_t got = 0xDEAD;
    EXPECT_EQ(WrenPackRecvPacket(h, buf.data(), capacity, &got, nullptr), 1);
    buf.resize(got);
    return buf;
}

// A batch of frames of the lengths given, each filled with its length.
Bytes records(std::initializer_list<uint32_t> lengths) {
    Bytes b;
    for (uint32_t n : lengths) {
        const WP_BATCH_HEADER h{0, 0, n, 0};
        b.insert(b.end(), reinterpret_cast<const uint8_t*>(&h), reinterpret_cast<const uint8_t*>(&h + 1));
        b.insert(b.end(), n, uint8_t(n));
    }
    return b;
}

// Every test starts with eth0 declared; handles from open() are closed after it.
class WrenPack : public ::testing::Test {
protected:
    void SetUp() override {
        WrenSimReset();
        std::u16string(kEth0).copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
        ASSERT_EQ(WrenSimAddAdapter(&entry), 1);
    }
    void TearDown() override { std::for_each(open_.begin(), open_.end(), WrenPackCloseAdapter); }
    WP_HANDLE open() { return open_.emplace_back(WrenPackOpenAdapter(kEth0)); }
    std::vector<WP_HANDLE> open_;
    ADAPTER_INFO_LIST_ENTRY entry{};
};

// Like a link, the adapter refuses frames without a whole Ethernet header or longer than its
// frame size (which the host may change); a batch goes out up to the first refused frame, and
// the sending thread learns how far.
TEST_F(WrenPack, RefusedFramesStopABatchWhereTheyStand) {
    WP_HANDLE h = open();
    entry.nMaxFrameSize = 1014;
    ASSERT_EQ(WrenSimSetAdapter(&entry), 1);
    const struct {
        std::initializer_list<uint32_t> lengths;
        int err;
        uint32_t sent;
    } cases[] = {{{60, 1014, 1015, 60}, 10040, 2}, {{13, 60}, 22, 0}, {{14, 1014}, 0, 2}};
    for (const auto& c : cases) {
        WrenSimClearSent(kEth0);
        const Bytes batch = records(c.lengths);
        EXPECT_EQ(WrenPackSendManyPackets(h, batch.data(), uint32_t(batch.size())), c.err ? 0 : 1);
        if (c.err) expectError(c.err, c.err == 22 ? 87 : 10040);
        EXPECT_EQ(WrenPackGetBatchFramesSent(), c.sent);
        Bytes sent(batch.size());
        uint32_t length = 0;
        WrenSimGetSent(kEth0, 0, sent.data(), uint32_t(sent.size()), &length);
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + length), Bytes(batch.begin(), batch.begin() + length));
        EXPECT_EQ(length, std::accumulate(c.lengths.begin(), c.lengths.begin() + c.sent, 16 * c.sent));  // each behind its header
    }
    EXPECT_EQ(WrenPackSendPacket(h, Bytes(1015).data(), 1015), 0);
    expectError(10040, 10040);
    entry.szAdapterName[0] = u'x';
    EXPECT_EQ(WrenSimSetAdapter(&entry), 0);
}

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
