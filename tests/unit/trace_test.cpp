// Message formatting, the output channel, assertion reports and the failure convention.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "trace/failure.h"
#include "trace/trace.h"

namespace {

std::mutex g_lock;
std::vector<std::string> g_lines;

void Collect(const char* text) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_lines.emplace_back(text);
}

// Routes the library's output to Collect for one test.
struct Capture {
    Capture() {
        g_lines.clear();
        trace::g_pfnPrintDebugString.store(&Collect);
    }
    ~Capture() { trace::g_pfnPrintDebugString.store(nullptr); }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(g_lock);
        std::vector<std::string> out;
        out.swap(g_lines);
        return out;
    }
};

std::string Narrow(const std::wstring& w) { return plat::ToNarrow(w); }

}  // namespace

TEST(TraceFormat, ConversionsReadTheSameOnEveryPlatform) {
    EXPECT_EQ(
        Narrow(trace::Format(L"** CVifnet(%s)::SetIFaceMTU: MTU %d outside allowable range of %d-%d\n", L"tun0", 59, 60, 1500)),
        "** CVifnet(tun0)::SetIFaceMTU: MTU 59 outside allowable range of 60-1500\n");
    EXPECT_EQ(Narrow(trace::Format(L"process %08.8X", 0x1A2Bu)), "process 00001A2B");
    EXPECT_EQ(Narrow(trace::Format(L"narrow %hs, wide %s", "gw", L"tap3")), "narrow gw, wide tap3");
    EXPECT_EQ(Narrow(trace::Format(L"sa_family = %2x|%02x", 1, 2)), "sa_family =  1|02");
    EXPECT_EQ(Narrow(trace::Format(L"%2.2X-%2.2X", 0x0A, 0xFF)), "0A-FF");
    EXPECT_EQ(Narrow(trace::Format(L"%d (0x%08.8X)", static_cast<int>(0x800454CAu), 0x800454CAu)), "-2147199798 (0x800454CA)");
    EXPECT_EQ(Narrow(trace::Format(L"%u %llu %I64u %zu", 4000000000u, 1ull << 40, 5ull, static_cast<size_t>(7))),
              "4000000000 1099511627776 5 7");
    EXPECT_EQ(Narrow(trace::Format(L"[%-6s][%6s][%.2s]", L"ab", L"cd", L"efgh")), "[ab    ][    cd][ef]");
    EXPECT_EQ(Narrow(trace::Format(L"%*d|%-*d|", 4, 7, 3, 8)), "   7|8  |");
    EXPECT_EQ(Narrow(trace::Format(L"100%% %c%hc", L'x', 'y')), "100% xy");
    EXPECT_EQ(Narrow(trace::Format(L"%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0xABCDEF)))), "0000000000ABCDEF");
    EXPECT_EQ(Narrow(trace::Format(L"%s|%hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr))),
              "(null)|(null)");
    EXPECT_EQ(Narrow(trace::Format(L"odd %q end")), "odd %q end");
    // Longer than any fixed buffer.
    std::wstring big(5000, L'z');
    EXPECT_EQ(Narrow(trace::Format(L"<%s>", big.c_str())).size(), 5002u);
}

TEST(TraceOutput, DeliveredAsFormattedOnlyWhileAFunctionIsInstalled) {
    DebugTrace(L"nobody hears %d\n", 1);
    {
        Capture capture;
        DebugTrace(L"one %s\n", L"line");
        DebugTrace(L"no newline");
        EXPECT_EQ(capture.Take(), (std::vector<std::string>{"one line\n", "no newline"}));
    }
    DebugTrace(L"nobody hears %d\n", 2);
    EXPECT_TRUE(g_lines.empty());
}

TEST(TraceAssert, ReportsFileAndLineAndCarriesOn) {
    Capture capture;
    int after = 0;
    const int line = __LINE__ + 1;
    VF_ASSERT(after == 1);
    after = 1;
    VF_ASSERT(after == 1);
    EXPECT_EQ(after, 1);
    EXPECT_EQ(capture.Take(), std::vector<std::string>{"trace_test.cpp(" + std::to_string(line) + "): ** Assertion Failed **\n"});
}

namespace {
struct Failing : CErrorPair {
    bool AsBool() { return Fail(22, 87, L"** Failing(%s)::AsBool: bad %d\n", L"x", 5); }
    int AsInt() { return Fail(9, 6, L"** Failing::AsInt\n"); }
    void* AsPointer() { return Fail(2, 1168, nullptr); }
};
}  // namespace

TEST(FailureConvention, RecordsWritesRaisesAndReturnsTheFailure) {
    Capture capture;
    Failing f;
    errno = 0;
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(f.AsBool());
    EXPECT_EQ(f.GetErrno(), 22);
    EXPECT_EQ(f.GetLastErrorCode(), 87u);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(plat::GetLastErrorCode(), 87u);
    EXPECT_EQ(f.AsInt(), -1);
    EXPECT_EQ(errno, 9);
    EXPECT_EQ(plat::GetLastErrorCode(), 6u);
    EXPECT_EQ(f.AsPointer(), nullptr);
    EXPECT_EQ(errno, 2);
    EXPECT_EQ(f.GetLastErrorCode(), 1168u);
    // A null format records and raises without writing anything.
    EXPECT_EQ(capture.Take(), (std::vector<std::string>{"** Failing(x)::AsBool: bad 5\n", "** Failing::AsInt\n"}));
}
