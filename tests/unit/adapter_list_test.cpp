#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api/test_support.h"
#include "host/adapter_list.h"
#include "platform/platform.h"
#include "trace/failure.h"
#include "trace/trace.h"
#include "wrensim.h"

namespace {

std::vector<std::string> g_lines;
void Collect(const char* text) { g_lines.emplace_back(text); }

uint32_t Ip(const char* text) { return plat::InetAddr(text); }

// Every test starts with no list built and a driver that knows no adapters.
class AdapterList : public testing::Test {
protected:
    void SetUp() override {
        TearDown();
        trace::g_pfnPrintDebugString.store(&Collect);
    }
    void TearDown() override {
        trace::g_pfnPrintDebugString.store(nullptr);
        g_lines.clear();
        plat::ProfileSetString(L"Settings", L"DefaultIFace", L"");
        FreeWPAdaptersList();
        WrenSimReset();
    }
    void AddTwo() {
        for (const auto& e :
             {vtest::MakeAdapter(u"lan0", {0x00, 0x50, 0x56, 0x00, 0x00, 0x01}, {10, 0, 0, 2}, {255, 255, 255, 0}),
              vtest::MakeAdapter(u"lan1", {0x00, 0x50, 0x56, 0x00, 0x00, 0x02}, {172, 16, 5, 9}, {255, 255, 0, 0})})
            ASSERT_TRUE(WrenSimAddAdapter(&e));
    }
    static std::pair<ADAPTER_INFO_LIST_ENTRY*, uint32_t> List() {
        std::pair<ADAPTER_INFO_LIST_ENTRY*, uint32_t> list{};
        GetWPAdaptersList(&list.first, &list.second);
        return list;
    }
    std::string DefaultName() {
        ADAPTER_INFO_LIST_ENTRY info;
        std::memset(&info, 0xCC, sizeof info);
        GetDefaultWPAdapterInfo(&info);
        EXPECT_EQ(info.pNext, nullptr);
        return std::string(info.szAdapterName, info.szAdapterName + std::char_traits<char16_t>::length(info.szAdapterName));
    }
    std::pair<int, DWORD> Pair() { return {plat::GetErrno(), plat::GetLastErrorCode()}; }
};

}  // namespace

TEST_F(AdapterList, FilledForWholeRecordsAfterAFailedFill) {
    AddTwo();
    WrenSimFail(WRENSIM_OP_GET_ADAPTERS_LIST, 1, 1, 12, 8);
    EXPECT_FALSE(InitWPAdaptersList());
    EXPECT_EQ(Pair(), std::make_pair(12, DWORD{8}));
    ASSERT_EQ(g_lines.size(), 1u);     // one report, whose text NoAdaptersGivesTheStandByRecord checks
    WrenSimSetAdaptersListSize(1377);  // a byte count that is no whole number of records
    EXPECT_TRUE(InitWPAdaptersList());
    ADAPTER_INFO_LIST_ENTRY* const first = List().first;
    ASSERT_TRUE(first && first->pNext);
    EXPECT_EQ(first->pNext->IPAddr, Ip("172.16.5.9"));
    EXPECT_EQ(first->pNext->pNext, nullptr);
    EXPECT_EQ(GetWPAdapterIPMask(Ip("172.16.5.9")), Ip("255.255.0.0"));
    EXPECT_EQ(GetWPAdapterIPMask(Ip("10.0.0.3")), 0u);

    // Only a re-read sees the driver's later changes.
    WrenSimReset();
    EXPECT_EQ(List().second, 2u);
    EXPECT_EQ(g_lines.size(), 1u);
}

// A re-read publishes a list that differs, keeps the one it replaces for those still reading
// it, leaves the caller's error pair alone, and comes at most once a second.
TEST_F(AdapterList, ReadAgainAtMostOnceASecondKeepingTheOldList) {
    AddTwo();
    const ADAPTER_INFO_LIST_ENTRY* const old = FindWPAdapterByIP(Ip("10.0.0.2"));
    ASSERT_TRUE(old);
    const std::uint32_t generation = GetWPAdaptersListGeneration();
    ADAPTER_INFO_LIST_ENTRY moved = *old;
    moved.IPAddr = Ip("10.0.0.3");
    moved.nMaxFrameSize = 1014;
    ASSERT_TRUE(WrenSimSetAdapter(&moved));
    RaiseError(5, 31);
    EXPECT_TRUE(RefreshWPAdaptersList());
    EXPECT_EQ(Pair(), std::make_pair(5, DWORD{31}));
    EXPECT_NE(GetWPAdaptersListGeneration(), generation);
    EXPECT_EQ(FindWPAdapterByIP(Ip("10.0.0.2")), nullptr);
    const ADAPTER_INFO_LIST_ENTRY* const now = FindWPAdapterByName(old->szAdapterName);
    ASSERT_TRUE(now);
    EXPECT_EQ(now->nMaxFrameSize, 1014u);
    EXPECT_EQ(old->IPAddr, Ip("10.0.0.2"));
    moved.IPAddr = Ip("10.0.0.4");
    ASSERT_TRUE(WrenSimSetAdapter(&moved));
    EXPECT_FALSE(RefreshWPAdaptersList());
    EXPECT_EQ(FindWPAdapterByIP(Ip("10.0.0.3")), now);
}

TEST_F(AdapterList, NoAdaptersGivesTheStandByRecord) {
    EXPECT_FALSE(InitWPAdaptersList());
    EXPECT_EQ(Pair(), std::make_pair(2, DWORD{1168}));
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].rfind("** InitWPAdaptersList: WrenPackGetAdaptersList#1 failed; rc=1168: ", 0), 0u) << g_lines[0];
    // The stand-by list stays: later calls find a list.
    EXPECT_TRUE(InitWPAdaptersList());
    const auto [first, count] = List();
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(first->nEntrySize, 1376u);
    EXPECT_EQ(first->nIfIndex, 0xFFFFFFFFu);
    for (const char16_t* name : {first->szAdapterName, first->szDescription, first->szConnectionName})
        EXPECT_EQ(std::u16string(name), u"dummy");
    EXPECT_EQ(DefaultName(), "dummy");
    EXPECT_STREQ(GetDefaultIFace(), "00-00-00-00-00-00");
}

TEST_F(AdapterList, DefaultInterfaceFollowsTheProfile) {
    AddTwo();
    const std::pair<const wchar_t*, const char*> cases[] = {{L"", "lan0"},           {L"00-50-56-00-00-02", "lan1"},
                                                            {L"172.16.5.9", "lan1"}, {L"00:50:56:00:00:09", "lan0"},
                                                            {L"10.0.0.77", "lan0"},  {L"xyz", "lan0"}};
    for (const auto& [setting, name] : cases) {
        plat::ProfileSetString(L"Settings", L"DefaultIFace", setting);
        EXPECT_EQ(DefaultName(), name) << name;
    }
    EXPECT_EQ(g_lines, std::vector<std::string>{
                           "** GetDefaultWPAdapterInfo: WARNING: DefaultIFace \"xyz\" is neither an IP nor a MAC address!\n"});
}
