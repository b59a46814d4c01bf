// The shared adapter's receive buffers and bindings, and the registry's shut-down of what a process left open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "api/test_support.h"
#include "adapter/vf_adapter.h"
#include "app/vifnet32_app.h"
#include "host/adapter_list.h"
#include "iface/vifnet.h"
#include "wrensim.h"

namespace {

const char16_t kName[] = u"sim-unit-a", kOther[] = u"sim-unit-b";

class Adapter : public testing::Test {
protected:
    void SetUp() override {
        FreeWPAdaptersList();
        WrenSimReset();
        const uint8_t mask[4] = {255, 255, 255, 0};
        m_entry = vtest::MakeAdapter(kName, {0x00, 0x50, 0x56, 0x00, 0x01, 0x01}, {10, 7, 0, 1}, mask);
        const auto other = vtest::MakeAdapter(kOther, {0x00, 0x50, 0x56, 0x00, 0x01, 0x02}, {10, 8, 0, 1}, mask);
        ASSERT_TRUE(WrenSimAddAdapter(&m_entry) && WrenSimAddAdapter(&other));
    }
    void TearDown() override { FreeWPAdaptersList(); }
    std::unique_ptr<CVFAdapter> Open() { return std::make_unique<CVFAdapter>(WrenPackOpenAdapter(kName), &m_entry); }
    ADAPTER_INFO_LIST_ENTRY m_entry;
};

// All the adapter knows of an interface: its read-buffer size, and the count of buffers it is
// told of.
class FakeClient : public CVFAdapterClient {
public:
    explicit FakeClient(std::uint32_t nReadBufferSize = 65536) : m_nReadBufferSize(nReadBufferSize) {}
    void PacketNotify(std::uint64_t nBuffersRead) override { m_nNotified = nBuffersRead; }
    std::uint32_t GetReadBufferSize() const override { return m_nReadBufferSize; }
    bool ReportsChanges() const override { return false; }
    bool ReadsEnded() const override { return false; }
    std::uint64_t Notified() const { return m_nNotified; }

private:
    std::uint32_t m_nReadBufferSize;
    std::atomic<std::uint64_t> m_nNotified{0};
};

}  // namespace

TEST(Buffer, ResizeKeepsDataAndNeverCutsIt) {
    CBuffer buffer(16384);
    std::memcpy(buffer.GetData(), "frames", 6);
    buffer.SetDataLen(6000);
    buffer.SetSeqNum(9);
    EXPECT_FALSE(buffer.Resize(5999));
    EXPECT_EQ(buffer.GetBufSize(), 16384u);
    EXPECT_TRUE(buffer.Resize(6000));
    EXPECT_TRUE(buffer.Resize(65536));
    EXPECT_EQ(std::make_tuple(buffer.GetBufSize(), buffer.GetDataLen(), buffer.GetSeqNum()), std::make_tuple(65536u, 6000u, 9u));
    EXPECT_EQ(std::memcmp(buffer.GetData(), "frames", 6), 0);
}

// An idle adapter must cost nothing: spins that find nothing shrink the spin to none within a
// few waits, after which no spin even looks; a quick hand-off brings spinning back.
TEST(SpinBudget, DiesAwayWhenNothingComesAndReturnsWithAQuickHandOff) {
    CSpinBudget budget;
    int looks = 0;
    auto never = [&] { return ++looks, false; };
    EXPECT_FALSE(budget.Spin(never));
    EXPECT_EQ(looks, 0);
    budget.Learn(std::chrono::microseconds(20));
    EXPECT_FALSE(budget.Spin(never));
    EXPECT_GT(looks, 0);
    for (int i = 0; i < 5; ++i)
        budget.Spin(never);
    looks = 0;
    EXPECT_FALSE(budget.Spin(never));
    EXPECT_EQ(looks, 0);
    budget.Learn(std::chrono::microseconds(5));
    EXPECT_TRUE(budget.Spin([] { return true; }));
}

// That the adapter closes its handle when the last interface leaves it: the caller-side open
// and close tests count the driver's open handles.
TEST_F(Adapter, BindingSizesTheReceiveBuffers) {
    const auto adapter = Open();
    EXPECT_EQ(adapter->GetAdapterInfo().pNext, nullptr);
    FakeClient small, large(262144), unbound;
    EXPECT_FALSE(adapter->IsReaderRunning());
    EXPECT_EQ(adapter->AddVifnet(&small), 1);
    EXPECT_TRUE(adapter->IsReaderRunning());
    EXPECT_EQ(adapter->AddVifnet(&small), 1);
    EXPECT_EQ(adapter->AddVifnet(&large), 2);
    EXPECT_EQ(adapter->GetPacketsBufferSize(), 262144u);
    EXPECT_EQ(adapter->RemoveVifnet(&large), 1);
    EXPECT_EQ(adapter->GetPacketsBufferSize(), 65536u);
    EXPECT_TRUE(adapter->IsReaderRunning());
    EXPECT_EQ(adapter->RemoveVifnet(&unbound), 1);  // never bound: accepted, nothing changes
    EXPECT_EQ(adapter->RemoveVifnet(&small), 0);
    EXPECT_FALSE(adapter->IsReaderRunning());
    // The adapter's own range checks, behind the interface's.
    EXPECT_FALSE(adapter->SetAdapterBufferSize(65535) || adapter->SetAdapterBufferSize(-1));
    EXPECT_FALSE(adapter->SetPacketsBufferSize(&small, 16383) || adapter->SetPacketsBufferSize(&small, 1048577));
    EXPECT_EQ(WrenSimGetBuff(kName), 1048576u);
}

TEST_F(Adapter, GoingUpNeedsATypeAndGoingDownUnbinds) {
    const auto adapter = Open();
    CVifnet vf(2, adapter.get(), nullptr);
    // Callers' naming always gives a type, so only here can an interface without one be asked to go up.
    EXPECT_FALSE(vf.SetIFaceFlags(VIFNET32_IFF_UP));
    EXPECT_EQ(plat::GetErrno(), VF_ENODEV);
    EXPECT_EQ(plat::GetLastErrorCode(), VF_ERROR_DEV_NOT_EXIST);
    EXPECT_EQ(vf.GetIFaceFlags(), CVifnet::kRunningFlags);
    ASSERT_TRUE(vf.SetVifnetFlags(VIFNET32_IFF_TUN));
    ASSERT_TRUE(vf.SetIFaceFlags(VIFNET32_IFF_UP));
    EXPECT_EQ(adapter->GetVifnetCount(), 1);
    ASSERT_TRUE(vf.SetIFaceFlags(0));
    EXPECT_EQ(adapter->GetVifnetCount(), 0);
}

TEST_F(Adapter, ProcessShutDownClosesEveryDescriptorAndAdapter) {
    const int fds[] = {theApp.Open("10.7.0.1", 2), theApp.Open("00-50-56-00-01-01", 0), theApp.Open("10.8.0.1", 1)};
    ASSERT_TRUE(fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0 && fds[0] != fds[1]);
    EXPECT_EQ(std::make_pair(WrenSimOpenCount(kName), WrenSimOpenCount(kOther)), std::make_pair(1u, 1u));
    theApp.ExitInstance();
    EXPECT_EQ(std::make_pair(WrenSimOpenCount(kName), WrenSimOpenCount(kOther)), std::make_pair(0u, 0u));
    ASSERT_TRUE(theApp.InitInstance());
    EXPECT_EQ(theApp.Close(fds[0]), -1);
    EXPECT_EQ(plat::GetErrno(), VF_EBADF);
}

// Closed interfaces' names keep counting for the next names, and leave the name table.
TEST_F(Adapter, NamesCountClosedInterfacesWithoutKeepingThem) {
    const CName2VFPtrMap* names = theApp.GetName2VFPtrMap(plat::GetCurrentProcessId());
    ASSERT_NE(names, nullptr);
    const size_t entries = names->size();
    const int tuns = theApp.CountVifnetNames(VIFNET32_IFF_TUN), taps = theApp.CountVifnetNames(VIFNET32_IFF_TAP);
    for (int i = 0; i < 100; ++i) {
        const int fd = theApp.Open("10.7.0.1", 2);
        vifnet32_ifreq req{};
        req.ifr_flags = i % 2 ? VIFNET32_IFF_TAP : VIFNET32_IFF_TUN;
        ASSERT_EQ(theApp.IOCtl(fd, VIFNET32_TUNSETIFF, &req), 0);
        EXPECT_EQ(req.ifr_name, (i % 2 ? "tap" + std::to_string(taps + i / 2) : "tun" + std::to_string(tuns + i / 2)));
        ASSERT_EQ(theApp.Close(fd), 0);
    }
    EXPECT_EQ(names->size(), entries);
}

TEST_F(Adapter, CursorIsClampedToTheWindowAndNumberingRestartsWithTheThread) {
    const auto adapter = Open();
    FakeClient vf;
    ASSERT_EQ(adapter->AddVifnet(&vf), 1);
    for (uint8_t i = 0; i < 16; ++i)
        ASSERT_TRUE(WrenSimInjectBuffer(kName, std::vector<uint8_t>(64, i).data(), 64));
    // Taking the newest buffer asks for the next, so a steady reader walks all sixteen: the window.
    uint32_t cursor = 0;
    uint8_t got[64];
    for (uint32_t i = 0; i < 16; ++i, ++cursor) {
        ASSERT_EQ(adapter->GetNextPacketsBuffer(&cursor, got, sizeof got, 5000), 64u);
        EXPECT_EQ(cursor, i);
        EXPECT_EQ(got[0], i);
    }
    EXPECT_EQ(vf.Notified(), 16u);  // told of each buffer before a reader can take it
    cursor = 100;
    EXPECT_EQ(adapter->GetNextPacketsBuffer(&cursor, got, sizeof got, 0), 0u);
    EXPECT_EQ(cursor, 16u);
    cursor = 3;  // a small destination gets the first bytes and the whole length
    EXPECT_EQ(adapter->GetNextPacketsBuffer(&cursor, got, 8, 0), 64u);
    EXPECT_EQ(cursor, 3u);
    cursor = 0;  // the whole window is still there for a reader that is that far behind
    EXPECT_EQ(adapter->GetNextPacketsBuffer(&cursor, got, sizeof got, 0), 64u);
    EXPECT_EQ(got[0], 0);

    ASSERT_EQ(adapter->RemoveVifnet(&vf), 0);
    ASSERT_EQ(adapter->AddVifnet(&vf), 1);
    ASSERT_TRUE(WrenSimInjectBuffer(kName, std::vector<uint8_t>(32, 9).data(), 32));
    cursor = 0;  // a newly bound reader's
    EXPECT_EQ(adapter->GetNextPacketsBuffer(&cursor, got, sizeof got, 5000), 32u);
    EXPECT_EQ(cursor, 0u);
    adapter->RemoveVifnet(&vf);
}
