// The shared adapter: receive buffers, binding interfaces and sizing the receive buffers to the
// largest bound read buffer; and the registry's shut-down of whatever a process left open.
#include <gtest/gtest.h>

#include <cstring>

#include "adapter/vf_adapter.h"
#include "app/vifnet32_app.h"
#include "host/adapter_list.h"
#include "iface/vifnet.h"
#include "wrensim.h"

namespace {

const char16_t kName[] = u"sim-unit-a";
const char16_t kOther[] = u"sim-unit-b";

ADAPTER_INFO_LIST_ENTRY Entry(const char16_t* name, uint8_t lastMacByte, const char* ip) {
    ADAPTER_INFO_LIST_ENTRY e{};
    std::u16string(name).copy(e.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
    const uint8_t mac[6] = {0x00, 0x50, 0x56, 0x00, 0x01, lastMacByte};
    std::memcpy(e.MACAddr, mac, 6);
    e.IPAddr = plat::InetAddr(ip);
    e.IPMask = plat::InetAddr("255.255.255.0");
    e.nMaxFrameSize = 1514;
    return e;
}

class Adapter : public testing::Test {
protected:
    void SetUp() override {
        FreeWPAdaptersList();
        WrenSimReset();
        m_entry = Entry(kName, 1, "10.7.0.1");
        auto other = Entry(kOther, 2, "10.8.0.1");
        ASSERT_TRUE(WrenSimAddAdapter(&m_entry));
        ASSERT_TRUE(WrenSimAddAdapter(&other));
    }
    void TearDown() override { FreeWPAdaptersList(); }
    ADAPTER_INFO_LIST_ENTRY m_entry;
};

}  // namespace

TEST(Buffer, ResizeKeepsDataAndNeverCutsIt) {
    CBuffer buffer(16384);
    ASSERT_EQ(buffer.GetBufSize(), 16384u);
    EXPECT_EQ(buffer.GetSeqNum(), 0u);
    std::memcpy(buffer.GetData(), "frames", 6);
    buffer.SetDataLen(6000);
    buffer.SetSeqNum(9);
    EXPECT_FALSE(buffer.Resize(5999));
    EXPECT_EQ(buffer.GetBufSize(), 16384u);
    EXPECT_TRUE(buffer.Resize(6000));
    EXPECT_TRUE(buffer.Resize(65536));
    EXPECT_EQ(buffer.GetBufSize(), 65536u);
    EXPECT_EQ(buffer.GetDataLen(), 6000u);
    EXPECT_EQ(buffer.GetSeqNum(), 9u);
    EXPECT_EQ(std::memcmp(buffer.GetData(), "frames", 6), 0);
}

TEST_F(Adapter, BindingSizesTheReceiveBuffersToTheLargestBoundReadBuffer) {
    WP_HANDLE handle = WrenPackOpenAdapter(kName);
    ASSERT_NE(handle, nullptr);
    {
        CVFAdapter adapter(handle, &m_entry);
        EXPECT_EQ(adapter.GetMACText(), L"00-50-56-00-01-01");
        EXPECT_EQ(adapter.GetAdapterInfo().pNext, nullptr);
        EXPECT_EQ(adapter.GetAdapterBufferSize(), 1048576u);
        EXPECT_EQ(adapter.GetPacketsBufferSize(), 65536u);

        CVifnet small(2, &adapter), large(2, &adapter);
        ASSERT_TRUE(large.SetIOBufferSize(262144));
        EXPECT_FALSE(adapter.IsReaderRunning());
        EXPECT_EQ(adapter.AddVifnet(&small), 1);
        EXPECT_TRUE(adapter.IsReaderRunning());
        EXPECT_EQ(adapter.AddVifnet(&small), 1);
        EXPECT_EQ(adapter.AddVifnet(&large), 2);
        EXPECT_EQ(adapter.GetPacketsBufferSize(), 262144u);
        EXPECT_EQ(adapter.RemoveVifnet(&large), 1);
        EXPECT_EQ(adapter.GetPacketsBufferSize(), 65536u);
        EXPECT_TRUE(adapter.IsReaderRunning());
        // Never bound: accepted, nothing changes.
        CVifnet unbound(2, &adapter);
        EXPECT_EQ(adapter.RemoveVifnet(&unbound), 1);
        EXPECT_EQ(adapter.RemoveVifnet(&small), 0);
        EXPECT_FALSE(adapter.IsReaderRunning());

        // Out-of-range sizes are refused before the driver sees them.
        EXPECT_FALSE(adapter.SetAdapterBufferSize(65535));
        EXPECT_FALSE(adapter.SetAdapterBufferSize(-1));
        EXPECT_TRUE(adapter.SetAdapterBufferSize(16777216));
        EXPECT_EQ(WrenSimGetBuff(kName), 16777216u);
        EXPECT_FALSE(adapter.SetPacketsBufferSize(&small, 16383));
        EXPECT_FALSE(adapter.SetPacketsBufferSize(&small, 1048577));
        EXPECT_TRUE(adapter.SetPacketsBufferSize(&small, 16384));
        EXPECT_EQ(adapter.GetPacketsBufferSize(), 16384u);
        EXPECT_EQ(WrenSimOpenCount(kName), 1u);
    }
    // The adapter owns its handle.
    EXPECT_EQ(WrenSimOpenCount(kName), 0u);
}

TEST_F(Adapter, ProcessShutDownClosesEveryDescriptorAndAdapter) {
    const int a1 = theApp.Open("10.7.0.1", 2);
    const int a2 = theApp.Open("00-50-56-00-01-01", 0);
    const int b1 = theApp.Open("10.8.0.1", 1);
    ASSERT_GE(a1, 0);
    ASSERT_GE(a2, 0);
    ASSERT_GE(b1, 0);
    EXPECT_NE(a1, a2);
    EXPECT_EQ(WrenSimOpenCount(kName), 1u);
    EXPECT_EQ(WrenSimOpenCount(kOther), 1u);

    theApp.ExitInstance();
    EXPECT_EQ(WrenSimOpenCount(kName), 0u);
    EXPECT_EQ(WrenSimOpenCount(kOther), 0u);
    ASSERT_TRUE(theApp.InitInstance());
    EXPECT_EQ(theApp.Close(a1), -1);
    EXPECT_EQ(plat::GetErrno(), VF_EBADF);
}

// Callers reach the flags by name, and naming chooses the type, so only here can an interface
// without a type be asked to go up.
TEST_F(Adapter, GoingUpNeedsATypeAndBindsOnce) {
    WP_HANDLE handle = WrenPackOpenAdapter(kName);
    ASSERT_NE(handle, nullptr);
    CVFAdapter adapter(handle, &m_entry);
    CVifnet vf(2, &adapter);
    EXPECT_FALSE(vf.SetIFaceFlags(VIFNET32_IFF_UP));
    EXPECT_EQ(plat::GetErrno(), VF_ENODEV);
    EXPECT_EQ(plat::GetLastErrorCode(), VF_ERROR_DEV_NOT_EXIST);
    EXPECT_EQ(vf.GetIFaceFlags(), CVifnet::kRunningFlags);
    ASSERT_TRUE(vf.SetVifnetFlags(VIFNET32_IFF_TUN));
    ASSERT_TRUE(vf.SetIFaceFlags(VIFNET32_IFF_UP));
    ASSERT_TRUE(vf.SetIFaceFlags(VIFNET32_IFF_UP | VIFNET32_IFF_BROADCAST));
    EXPECT_EQ(adapter.GetVifnetCount(), 1);
    ASSERT_TRUE(vf.SetIFaceFlags(0));
    ASSERT_TRUE(vf.SetIFaceFlags(0));
    EXPECT_EQ(adapter.GetVifnetCount(), 0);
}

// The window of numbered receive buffers as a reader's cursor sees it.
TEST_F(Adapter, CursorIsClampedToTheWindowAndNumberingRestartsWithTheThread) {
    WP_HANDLE handle = WrenPackOpenAdapter(kName);
    ASSERT_NE(handle, nullptr);
    CVFAdapter adapter(handle, &m_entry);
    CVifnet vf(2, &adapter);
    ASSERT_EQ(adapter.AddVifnet(&vf), 1);
    uint8_t data[64];
    for (uint8_t i = 0; i < 10; ++i) {
        std::memset(data, i, sizeof data);
        ASSERT_TRUE(WrenSimInjectBuffer(kName, data, sizeof data));
    }
    // Taking the newest buffer asks for the next, so a steady reader walks all ten.
    uint32_t cursor = 0;
    uint8_t got[64];
    for (uint32_t i = 0; i < 10; ++i, ++cursor) {
        ASSERT_EQ(adapter.GetNextPacketsBuffer(&cursor, got, sizeof got, 5000), 64u);
        EXPECT_EQ(cursor, i);
        EXPECT_EQ(got[0], i);
    }
    cursor = 100;
    EXPECT_EQ(adapter.GetNextPacketsBuffer(&cursor, got, sizeof got, 0), 0u);
    EXPECT_EQ(cursor, 10u);
    cursor = 3;  // a small destination gets the first bytes and the whole length
    EXPECT_EQ(adapter.GetNextPacketsBuffer(&cursor, got, 8, 0), 64u);
    EXPECT_EQ(cursor, 3u);

    ASSERT_EQ(adapter.RemoveVifnet(&vf), 0);
    ASSERT_EQ(adapter.AddVifnet(&vf), 1);
    ASSERT_TRUE(WrenSimInjectBuffer(kName, data, 32));
    cursor = 0;  // a newly bound reader's
    EXPECT_EQ(adapter.GetNextPacketsBuffer(&cursor, got, sizeof got, 5000), 32u);
    EXPECT_EQ(cursor, 0u);
    adapter.RemoveVifnet(&vf);
}
