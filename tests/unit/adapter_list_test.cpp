// The host adapter list as the simulated driver reports it, the stand-by record, the default
// interface and the medium names.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/adapter_list.h"
#include "platform/platform.h"
#include "trace/trace.h"
#include "wrensim.h"

namespace {

std::vector<std::string> g_lines;
void Collect(const char* text) { g_lines.emplace_back(text); }

ADAPTER_INFO_LIST_ENTRY Adapter(const char16_t* name, uint8_t lastMacByte, uint32_t ipNet, uint32_t maskNet) {
    ADAPTER_INFO_LIST_ENTRY e{};
    std::u16string(name).copy(e.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
    const uint8_t mac[6] = {0x00, 0x50, 0x56, 0x00, 0x00, lastMacByte};
    std::memcpy(e.MACAddr, mac, 6);
    e.IPAddr = ipNet;
    e.IPMask = maskNet;
    e.nMaxFrameSize = 1514;
    return e;
}

uint32_t Ip(const char* text) { return plat::InetAddr(text); }

// Every test starts with no list built and a driver that knows the adapters it declares.
class AdapterList : public testing::Test {
protected:
    void SetUp() override {
        FreeWPAdaptersList();
        WrenSimReset();
        plat::ProfileSetString(L"Settings", L"DefaultIFace", L"");
        g_lines.clear();
        trace::g_pfnPrintDebugString.store(&Collect);
    }
    void TearDown() override {
        trace::g_pfnPrintDebugString.store(nullptr);
        plat::ProfileSetString(L"Settings", L"DefaultIFace", L"");
        FreeWPAdaptersList();
        WrenSimReset();
    }
    void AddTwo() {
        auto a = Adapter(u"lan0", 0x01, Ip("10.0.0.2"), Ip("255.255.255.0"));
        auto b = Adapter(u"lan1", 0x02, Ip("172.16.5.9"), Ip("255.255.0.0"));
        ASSERT_TRUE(WrenSimAddAdapter(&a));
        ASSERT_TRUE(WrenSimAddAdapter(&b));
    }
    std::string DefaultName() {
        ADAPTER_INFO_LIST_ENTRY info;
        std::memset(&info, 0xCC, sizeof info);
        GetDefaultWPAdapterInfo(&info);
        EXPECT_EQ(info.pNext, nullptr);
        return std::string(info.szAdapterName, info.szAdapterName + std::char_traits<char16_t>::length(info.szAdapterName));
    }
};

}  // namespace

TEST_F(AdapterList, ReadOnceFromTheDriverAndChained) {
    AddTwo();
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    uint32_t count = 0;
    GetWPAdaptersList(&first, &count);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(count, 2u);
    ASSERT_NE(first->pNext, nullptr);
    EXPECT_EQ(first->pNext->IPAddr, Ip("172.16.5.9"));
    EXPECT_EQ(first->pNext->pNext, nullptr);
    EXPECT_EQ(GetWPAdapterIPMask(Ip("172.16.5.9")), Ip("255.255.0.0"));
    EXPECT_EQ(GetWPAdapterIPMask(Ip("10.0.0.3")), 0u);

    // Never refreshed: an adapter added later is not seen.
    auto c = Adapter(u"lan2", 0x03, Ip("192.168.1.1"), Ip("255.255.255.0"));
    WrenSimAddAdapter(&c);
    GetWPAdaptersList(&first, &count);
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(AdapterList, ByteCountRoundsUpToWholeRecords) {
    AddTwo();
    WrenSimSetAdaptersListSize(1377);
    uint32_t count = 0;
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first, &count);
    EXPECT_EQ(count, 2u);
}

TEST_F(AdapterList, NoAdaptersGivesTheStandByRecord) {
    EXPECT_FALSE(InitWPAdaptersList());
    EXPECT_EQ(plat::GetErrno(), 2);
    EXPECT_EQ(plat::GetLastErrorCode(), 1168u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].rfind("** InitWPAdaptersList: WrenPackGetAdaptersList#1 failed; rc=1168: ", 0), 0u) << g_lines[0];
    // The stand-by list stays: later calls find a list.
    EXPECT_TRUE(InitWPAdaptersList());
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    uint32_t count = 0;
    GetWPAdaptersList(&first, &count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(first->nEntrySize, 1376u);
    EXPECT_EQ(first->nIfIndex, 0xFFFFFFFFu);
    EXPECT_EQ(std::u16string(first->szAdapterName), u"dummy");
    EXPECT_EQ(std::u16string(first->szDescription), u"dummy");
    EXPECT_EQ(std::u16string(first->szConnectionName), u"dummy");
    EXPECT_EQ(DefaultName(), "dummy");
    plat::SetErrno(5);
    EXPECT_STREQ(GetDefaultIFace(), "00-00-00-00-00-00");
    EXPECT_EQ(plat::GetErrno(), 0);
    EXPECT_EQ(plat::GetLastErrorCode(), 0u);
}

TEST_F(AdapterList, FailedFillLeavesNoListAndIsRetried) {
    AddTwo();
    WrenSimFail(WRENSIM_OP_GET_ADAPTERS_LIST, 1, 1, 12, 8);
    EXPECT_FALSE(InitWPAdaptersList());
    EXPECT_EQ(plat::GetErrno(), 12);
    EXPECT_EQ(plat::GetLastErrorCode(), 8u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].rfind("** InitWPAdaptersList: WrenPackGetAdaptersList#2 failed; rc=8: ", 0), 0u) << g_lines[0];
    EXPECT_TRUE(InitWPAdaptersList());
    uint32_t count = 0;
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first, &count);
    EXPECT_EQ(count, 2u);
}

TEST_F(AdapterList, DefaultInterfaceFollowsTheProfile) {
    AddTwo();
    EXPECT_EQ(DefaultName(), "lan0");
    EXPECT_STREQ(GetDefaultIFace(), "00-50-56-00-00-01");
    plat::ProfileSetString(L"Settings", L"DefaultIFace", L"172.16.5.9");
    EXPECT_EQ(DefaultName(), "lan1");
    plat::ProfileSetString(L"Settings", L"DefaultIFace", L"00-50-56-00-00-02");
    EXPECT_EQ(DefaultName(), "lan1");
    plat::ProfileSetString(L"Settings", L"DefaultIFace", L"00:50:56:00:00:09");
    EXPECT_EQ(DefaultName(), "lan0");
    plat::ProfileSetString(L"Settings", L"DefaultIFace", L"10.0.0.77");
    EXPECT_EQ(DefaultName(), "lan0");
    EXPECT_TRUE(g_lines.empty());
    plat::ProfileSetString(L"Settings", L"DefaultIFace", L"xyz");
    EXPECT_EQ(DefaultName(), "lan0");
    EXPECT_EQ(g_lines, std::vector<std::string>{
                           "** GetDefaultWPAdapterInfo: WARNING: DefaultIFace \"xyz\" is neither an IP nor a MAC address!\n"});
}

TEST(NdisMedium, NamedByCodeAndUnknownBeyond) {
    EXPECT_EQ(std::wstring(GetNdisMediumName(0)), L"NdisMedium802_3");
    EXPECT_EQ(std::wstring(GetNdisMediumName(9)), L"NdisMediumWirelessWan");
    EXPECT_EQ(std::wstring(GetNdisMediumName(14)), L"NdisMediumMax");
    EXPECT_EQ(std::wstring(GetNdisMediumName(15)), L"NdisMediumUnknown");
    EXPECT_EQ(std::wstring(GetNdisMediumName(20)), L"NdisMediumUnknown");
}
