// Message formatting, the output channel, assertion reports and the failure convention.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "trace/failure.h"
#include "trace/trace.h"

namespace {

std::vector<std::string> g_lines;

void Collect(const char* text) { g_lines.emplace_back(text); }

// Routes the library's output to Collect for one test.
struct Capture {
    Capture() { trace::g_pfnPrintDebugString.store(&Collect); }
    ~Capture() { trace::g_pfnPrintDebugString.store(nullptr); }
    std::vector<std::string> Take() { return std::exchange(g_lines, {}); }
};

// A message as the output function gets it.
#define Fmt(...) plat::ToNarrow(trace::Format(__VA_ARGS__))

struct Failing : CErrorPair {
    bool AsBool() { return Fail(22, 87, L"** Failing(%s)::AsBool: bad %d\n", L"x", 5); }
    int AsInt() { return Fail(9, 6, L"** Failing::AsInt\n"); }
    void* AsPointer() { return Fail(2, 1168, nullptr); }
};

}  // namespace

// %s, %d and the widths of hexadecimal fields: every exact message of the caller-side tests.
TEST(TraceFormat, ConversionsReadTheSameOnEveryPlatform) {
    EXPECT_EQ(Fmt(L"narrow %hs, wide %s", "gw", L"tap3"), "narrow gw, wide tap3");
    EXPECT_EQ(Fmt(L"%u %llu %I64u %zu", 4000000000u, 1ull << 40, 5ull, static_cast<size_t>(7)), "4000000000 1099511627776 5 7");
    EXPECT_EQ(Fmt(L"[%-6s][%6s][%.2s]", L"ab", L"cd", L"efgh"), "[ab    ][    cd][ef]");
    EXPECT_EQ(Fmt(L"%*d|%-*d|", 4, 7, 3, 8), "   7|8  |");
    EXPECT_EQ(Fmt(L"100%% %c%hc", L'x', 'y'), "100% xy");
    EXPECT_EQ(Fmt(L"%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0xABCDEF))), "0000000000ABCDEF");
    EXPECT_EQ(Fmt(L"%s|%hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)), "(null)|(null)");
    EXPECT_EQ(Fmt(L"odd %q end"), "odd %q end");
    EXPECT_EQ(Fmt(L"<%s>", std::wstring(5000, L'z').c_str()).size(), 5002u);  // past any fixed buffer
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

// Each failure records its pair in the object and hands it to the thread; a null format writes nothing.
TEST(FailureConvention, RecordsWritesRaisesAndReturnsTheFailure) {
    Capture capture;
    Failing f;
    RaiseError(0, 0);
    EXPECT_FALSE(f.AsBool());
    EXPECT_EQ(std::make_tuple(f.GetErrno(), f.GetLastErrorCode(), errno, plat::GetLastErrorCode()),
              std::make_tuple(22, 87u, 22, 87u));
    EXPECT_EQ(f.AsInt(), -1);
    EXPECT_EQ(std::make_tuple(errno, plat::GetLastErrorCode()), std::make_tuple(9, 6u));
    EXPECT_EQ(f.AsPointer(), nullptr);
    EXPECT_EQ(std::make_tuple(errno, f.GetLastErrorCode()), std::make_tuple(2, 1168u));
    EXPECT_EQ(capture.Take(), (std::vector<std::string>{"** Failing(x)::AsBool: bad 5\n", "** Failing::AsInt\n"}));
}
