// The simulated WrenPack driver, exercised through its public and control interfaces.
#include "wrensim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
static bool waitSignalled(WP_EVENT ev, int ms) { return WaitForSingleObject(ev, ms) == WAIT_OBJECT_0; }
#else
#include <poll.h>
static bool waitSignalled(WP_EVENT ev, int ms) {
    pollfd p{ev, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;
const WP_CHAR16* const kEth0 = u"eth0";

bool signalled(WP_EVENT event) { return waitSignalled(event, 0); }

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i + 1);
    return b;
}

void addAdapter(const WP_CHAR16* name, uint8_t macLast = 1) {
    ADAPTER_INFO_LIST_ENTRY e{};
    std::u16string(name).copy(e.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
    e.MACAddr[5] = macLast;
    ASSERT_EQ(WrenSimAddAdapter(&e), 1);
}

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

class WrenPack : public ::testing::Test {
protected:
    void SetUp() override { WrenSimReset(); }
    void TearDown() override {
        for (WP_HANDLE h : open_)
            WrenPackCloseAdapter(h);
    }
    WP_HANDLE open(const WP_CHAR16* name) {
        WP_HANDLE h = WrenPackOpenAdapter(name);
        if (h) open_.push_back(h);
        return h;
    }
    std::vector<WP_HANDLE> open_;
};

TEST_F(WrenPack, AdapterListIsQueriedThenFilledAsAChain) {
    addAdapter(kEth0, 1);
    addAdapter(u"eth1", 2);

    uint32_t size = 0;
    ASSERT_EQ(WrenPackGetAdaptersList(nullptr, &size), 1);
    ASSERT_EQ(size, 2 * 1376u);

    Bytes buf(size + 100, 0xAA);
    uint32_t small = size - 1;
    EXPECT_EQ(WrenPackGetAdaptersList(buf.data(), &small), 0);
    expectError(12, 122);
    EXPECT_EQ(small, size);

    uint32_t bytes = uint32_t(buf.size());
    ASSERT_EQ(WrenPackGetAdaptersList(buf.data(), &bytes), 1);
    auto* first = reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buf.data());
    ASSERT_EQ(first->pNext, reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buf.data() + 1376));
    EXPECT_EQ(first->nEntrySize, 1376u);
    EXPECT_EQ(std::u16string(first->szAdapterName), u"eth0");
    EXPECT_EQ(std::u16string(first->pNext->szAdapterName), u"eth1");
    EXPECT_EQ(first->pNext->MACAddr[5], 2);
    EXPECT_EQ(first->pNext->pNext, nullptr);
    EXPECT_EQ(Bytes(buf.begin() + size, buf.end()), Bytes(100, 0));
}

TEST_F(WrenPack, OpenMatchesTheWholeNameAndCloseForgetsTheHandle) {
    addAdapter(kEth0);
    EXPECT_EQ(open(u"eth"), nullptr);
    expectError(2, 1168);
    EXPECT_EQ(open(u"eth00"), nullptr);
    EXPECT_EQ(open(nullptr), nullptr);
    expectError(22, 87);

    WP_HANDLE a = open(kEth0), b = open(kEth0);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(WrenSimOpenCount(kEth0), 2u);
    WrenPackCloseAdapter(a);
    open_.erase(open_.begin());
    WrenPackCloseAdapter(nullptr);
    EXPECT_EQ(WrenSimOpenCount(kEth0), 1u);
    EXPECT_EQ(WrenPackSetBuff(a, 1), 0);  // closed handle
    expectError(22, 87);
}

TEST_F(WrenPack, InjectedFrameArrivesAsOnePaddedCaptureRecord) {
    addAdapter(kEth0);
    WP_HANDLE h = open(kEth0);
    EXPECT_TRUE(recv(h).empty());

    const Bytes frame = pattern(61);
    const uint32_t before = uint32_t(std::time(nullptr));
    ASSERT_EQ(WrenSimInjectFrame(kEth0, frame.data(), 61), 1);
    Bytes got = recv(h);
    ASSERT_EQ(got.size(), 20u + 64u);
    WP_CAPTURE_HEADER hdr;
    std::memcpy(&hdr, got.data(), sizeof hdr);
    EXPECT_EQ(hdr.bh_caplen, 61u);
    EXPECT_EQ(hdr.bh_datalen, 61u);
    EXPECT_EQ(hdr.bh_hdrlen, 20u);
    EXPECT_TRUE(hdr.tv_sec >= before && hdr.tv_sec <= before + 2);
    EXPECT_EQ(Bytes(got.begin() + 20, got.begin() + 81), frame);
    EXPECT_EQ(Bytes(got.begin() + 81, got.end()), Bytes(3, 0));
}

TEST_F(WrenPack, BigBufferIsSplitAndTheEventFollowsTheQueue) {
    addAdapter(kEth0);
    WP_HANDLE h = open(kEth0);
    WP_EVENT ev = WrenPackGetWin32ReadEventHandle(h);
    ASSERT_NE(ev, WP_NO_EVENT);
    EXPECT_FALSE(signalled(ev));

    const Bytes data = pattern(100);
    ASSERT_EQ(WrenSimInjectBuffer(kEth0, data.data(), 100), 1);
    ASSERT_EQ(WrenSimInjectBuffer(kEth0, data.data(), 10), 1);
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(recv(h, 30), Bytes(data.begin(), data.begin() + 30));
    EXPECT_TRUE(signalled(ev));
    // The rest of the first buffer only, not the next one too.
    EXPECT_EQ(recv(h), Bytes(data.begin() + 30, data.end()));
    EXPECT_EQ(WrenSimPendingBuffers(kEth0), 1u);
    EXPECT_TRUE(signalled(ev));
    EXPECT_EQ(recv(h).size(), 10u);
    EXPECT_FALSE(signalled(ev));

    uint32_t got;
    EXPECT_EQ(WrenPackRecvPacket(h, nullptr, 10, &got, nullptr), 0);
    expectError(22, 87);
}

TEST_F(WrenPack, EveryOpenHandleReceivesEveryBufferInjectedWhileItIsOpen) {
    addAdapter(kEth0);
    const uint8_t one = 1, two = 2;
    EXPECT_EQ(WrenSimInjectBuffer(kEth0, &one, 1), 0);  // nobody listening: dropped
    WP_HANDLE a = open(kEth0);
    ASSERT_EQ(WrenSimInjectBuffer(kEth0, &one, 1), 1);
    WP_HANDLE b = open(kEth0);
    ASSERT_EQ(WrenSimInjectBuffer(kEth0, &two, 1), 1);
    EXPECT_EQ(WrenSimPendingBuffers(kEth0), 2u);

    EXPECT_EQ(recv(a), Bytes{1});
    EXPECT_EQ(recv(b), Bytes{2});
    EXPECT_FALSE(signalled(WrenPackGetWin32ReadEventHandle(b)));
    EXPECT_TRUE(signalled(WrenPackGetWin32ReadEventHandle(a)));
    EXPECT_EQ(recv(a), Bytes{2});
    EXPECT_EQ(WrenSimPendingBuffers(kEth0), 0u);
}

TEST_F(WrenPack, SettingsAndSendsAreRecorded) {
    addAdapter(kEth0);
    WP_HANDLE h = open(kEth0);
    ASSERT_EQ(WrenPackSetBuff(h, 1 << 20), 1);
    ASSERT_EQ(WrenPackSetReadEventThreshold(h, 0), 1);
    const WP_BPF_INSN insns[2] = {{0x28, 0, 0, 12}, {0x6, 0, 0, 0xFFFF}};
    WP_BPF_PROGRAM prog{2, insns};
    ASSERT_EQ(WrenPackSetBpf(h, &prog), 1);
    EXPECT_EQ(WrenSimGetBuff(kEth0), 1u << 20);
    EXPECT_EQ(WrenSimGetReadEventThreshold(kEth0), 0u);
    WP_BPF_INSN copy[2] = {};
    EXPECT_EQ(WrenSimGetBpf(kEth0, copy, 2), 2u);
    EXPECT_EQ(std::memcmp(copy, insns, sizeof insns), 0);
    prog.bf_len = 0;
    EXPECT_EQ(WrenPackSetBpf(h, &prog), 0);
    expectError(22, 87);

    const Bytes frame = pattern(3);
    ASSERT_EQ(WrenPackSendPacket(h, frame.data(), 3), 1);
    // Two packed records: header + 3 bytes, header + 1 byte.
    Bytes batch(16 + 3 + 16 + 1, 0);
    batch[8] = 3;
    batch[19 + 8] = 1;
    ASSERT_EQ(WrenPackSendManyPackets(h, batch.data(), uint32_t(batch.size())), 1);
    ASSERT_EQ(WrenSimSentCount(kEth0), 2u);
    uint8_t out[64];
    uint32_t len = 0;
    EXPECT_EQ(WrenSimGetSent(kEth0, 0, out, sizeof out, &len), WRENSIM_SENT_FRAME);
    EXPECT_EQ(Bytes(out, out + len), frame);
    EXPECT_EQ(WrenSimGetSent(kEth0, 1, out, sizeof out, &len), WRENSIM_SENT_BATCH);
    EXPECT_EQ(Bytes(out, out + len), batch);

    // Malformed batches: a byte over, a byte short, an empty frame; and an empty send.
    batch.push_back(0);
    EXPECT_EQ(WrenPackSendManyPackets(h, batch.data(), uint32_t(batch.size())), 0);
    expectError(22, 87);
    EXPECT_EQ(WrenPackSendManyPackets(h, batch.data(), uint32_t(batch.size()) - 2), 0);
    batch[8] = 0;
    EXPECT_EQ(WrenPackSendManyPackets(h, batch.data(), 16), 0);
    EXPECT_EQ(WrenPackSendPacket(h, frame.data(), 0), 0);
    EXPECT_EQ(WrenSimSentCount(kEth0), 2u);
}

TEST_F(WrenPack, ForcedFailuresSkipThenFailThenStop) {
    addAdapter(kEth0);
    WrenSimFail(WRENSIM_OP_OPEN_ADAPTER, 0, 1, 13, 5);
    EXPECT_EQ(open(kEth0), nullptr);
    expectError(13, 5);
    WP_HANDLE h = open(kEth0);
    ASSERT_TRUE(h);

    // Two calls go through, the next two fail without applying the setting, then it stops.
    WrenSimFail(WRENSIM_OP_SET_BUFF, 2, 2, 4, 31);
    std::vector<int> results;
    for (uint32_t i = 1; i <= 5; ++i)
        results.push_back(WrenPackSetBuff(h, i) * 10 + int(WrenSimGetBuff(kEth0)));
    EXPECT_EQ(results, (std::vector<int>{11, 12, 2, 2, 15}));
    expectError(4, 31);

    const uint8_t byte = 42;
    WrenSimInjectBuffer(kEth0, &byte, 1);
    WrenSimFail(WRENSIM_OP_RECV_PACKET, 0, 1, 4, 31);
    uint8_t buf[8];
    uint32_t got = 77;
    EXPECT_EQ(WrenPackRecvPacket(h, buf, sizeof buf, &got, nullptr), 0);
    EXPECT_EQ(got, 77u);
    EXPECT_EQ(recv(h).size(), 1u);  // the failed call took nothing

    // Failures that never end, including the size query; count 0 clears them.
    WrenSimFail(WRENSIM_OP_GET_ADAPTERS_LIST, 0, -1, 5, 1167);
    uint32_t size = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WrenPackGetAdaptersList(nullptr, &size), 0);
    expectError(5, 1167);
    EXPECT_EQ(size, 0u);
    WrenSimFail(WRENSIM_OP_GET_ADAPTERS_LIST, 0, 0, 0, 0);
    EXPECT_EQ(WrenPackGetAdaptersList(nullptr, &size), 1);
}

}  // namespace
