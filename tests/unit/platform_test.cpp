#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

TEST(PlatformLock, RecursiveEntryHoldsUntilLastLeave)
{
    plat::CCriticalSection cs;
    std::atomic<bool> entered{false};
    cs.Enter();
    cs.Enter();  // a non-recursive lock deadlocks here
    cs.Leave();
    std::thread other([&] {
        plat::CSingleLock lock(cs);
        entered = true;
    });
    // Still owned once: the other thread must stay out. A pause, not a measurement.
    plat::Sleep(20);
    EXPECT_FALSE(entered);
    cs.Leave();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(PlatformLock, ExcludesUnderContention)
{
    // Spin count 0 takes the blocking path at once; the default spins first.
    for (unsigned spin : {0u, 4000u}) {
        plat::CCriticalSection cs(spin);
        long counter = 0;  // deliberately not atomic
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 20000; ++i) {
                    plat::CSingleLock lock(cs);
                    counter = counter + 1;
                }
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(counter, 80000) << "spin " << spin;
    }
}

TEST(PlatformEvent, ManualResetLifecycle)
{
    plat::CEvent ev;
    ASSERT_TRUE(ev.Valid());
    plat::WaitHandle h = ev.Handle();
    EXPECT_EQ(plat::WaitForAny(&h, 1, 0), plat::kWaitTimeout);
    EXPECT_EQ(plat::WaitForAny(&h, 1, 20), plat::kWaitTimeout);
    EXPECT_TRUE(ev.Reset());  // already clear
    EXPECT_TRUE(ev.Set());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(plat::WaitForAny(&h, 1, 0), plat::kWaitObject0);
    EXPECT_TRUE(ev.Reset());
    EXPECT_EQ(plat::WaitForAny(&h, 1, 0), plat::kWaitTimeout);
}

TEST(PlatformEvent, ReportsIndexOfSignalledHandle)
{
    plat::CEvent a, b;
    const plat::WaitHandle handles[2] = {a.Handle(), b.Handle()};
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitTimeout);
    b.Set();
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitObject0 + 1);
    a.Set();
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitObject0);  // lowest index wins
    a.Reset();
    b.Reset();
    EXPECT_EQ(plat::WaitForAny(handles, 2, 0), plat::kWaitTimeout);
}

TEST(PlatformEvent, SetFromAnotherThreadWakesInfiniteWait)
{
    plat::CEvent ev;
    plat::WaitHandle h = ev.Handle();
    plat::CThread setter;
    ASSERT_TRUE(setter.Start([](void* p) -> DWORD {
        plat::Sleep(20);  // give the waiter time to block first
        return static_cast<plat::CEvent*>(p)->Set() ? 0 : 1;
    }, &ev));
    EXPECT_EQ(plat::WaitForAny(&h, 1, plat::kInfinite), plat::kWaitObject0);
    EXPECT_TRUE(setter.Join());
}

TEST(PlatformEvent, SurvivesManySetResetCycles)
{
    plat::CEvent ev;
    plat::WaitHandle h = ev.Handle();
    for (int i = 0; i < 2000; ++i) {
        // Setting twice must still be undone by one Reset, whatever counts the sets.
        ASSERT_TRUE(ev.Set());
        ASSERT_TRUE(ev.Set());
        ASSERT_EQ(plat::WaitForAny(&h, 1, 0), plat::kWaitObject0) << i;
        ASSERT_TRUE(ev.Reset());
        ASSERT_EQ(plat::WaitForAny(&h, 1, 0), plat::kWaitTimeout) << i;
    }
}

struct Job {
    int input = 0;
    std::atomic<int> output{0};
};

DWORD SlowDouble(void* p)
{
    auto* job = static_cast<Job*>(p);
    plat::Sleep(20);  // so that a Join that does not wait reads a stale result
    job->output = job->input * 2;
    return 0;
}

TEST(PlatformThread, RunsProcedureAndJoinWaits)
{
    plat::CThread never;
    EXPECT_FALSE(never.Running());
    EXPECT_TRUE(never.Join());

    Job job;
    job.input = 21;
    plat::CThread t;
    ASSERT_TRUE(t.Start(SlowDouble, &job));
    EXPECT_TRUE(t.Running());
    EXPECT_FALSE(t.Start(SlowDouble, &job));  // one thread per object
    EXPECT_TRUE(t.Join());
    EXPECT_FALSE(t.Running());
    EXPECT_EQ(job.output, 42);

    // Reusable after Join, and destruction joins.
    Job again;
    again.input = 5;
    {
        plat::CThread scoped;
        ASSERT_TRUE(scoped.Start(SlowDouble, &again));
    }
    EXPECT_EQ(again.output, 10);
    ASSERT_TRUE(t.Start(SlowDouble, &job));
    EXPECT_TRUE(t.Join());
}

TEST(PlatformLastError, IsPerThread)
{
    struct Seen {
        DWORD code = 0;
        int err = 0;
    } seen;
    plat::SetLastErrorCode(1234);
    plat::SetErrno(33);
    plat::CThread t;
    ASSERT_TRUE(t.Start([](void* p) -> DWORD {
        plat::SetLastErrorCode(5678);
        plat::SetErrno(44);
        static_cast<Seen*>(p)->code = plat::GetLastErrorCode();
        static_cast<Seen*>(p)->err = plat::GetErrno();
        return 0;
    }, &seen));
    t.Join();
    const DWORD mine = plat::GetLastErrorCode();
    const int myErrno = plat::GetErrno();
    EXPECT_EQ(mine, 1234u);
    EXPECT_EQ(myErrno, 33);
    EXPECT_EQ(seen.code, 5678u);
    EXPECT_EQ(seen.err, 44);
}

TEST(PlatformLastError, SystemErrorTextIsTrimmed)
{
    const std::wstring text = plat::SystemErrorText(87);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), L'\n');
    EXPECT_NE(text.back(), L'\r');
    EXPECT_NE(text.back(), L' ');
    EXPECT_FALSE(plat::SystemErrorText(0x7FFF1234).empty());
}

class PlatformSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(plat::SocketsStartup());
        started = true;
        ASSERT_EQ(plat::MakeStreamSocketPair(ends), 0);
    }
    void TearDown() override
    {
        for (plat::Socket s : ends)
            if (s != plat::kInvalidSocket) plat::CloseSocket(s);
        if (started) plat::SocketsCleanup();
    }
    plat::Socket ends[2] = {plat::kInvalidSocket, plat::kInvalidSocket};
    bool started = false;
};

TEST_F(PlatformSocket, PairCarriesBytesBothWays)
{
    ASSERT_NE(ends[0], plat::kInvalidSocket);
    ASSERT_NE(ends[1], plat::kInvalidSocket);
    EXPECT_NE(ends[0], ends[1]);
    EXPECT_TRUE(plat::SetSocketNoDelay(ends[0]));
    EXPECT_TRUE(plat::SetSocketNoDelay(ends[1]));
    for (int from : {0, 1}) {
        const int to = 1 - from;
        ASSERT_EQ(plat::SocketSend(ends[from], "hello", 5), 5);
        char buf[16] = {};
        // The blocking read of one byte guarantees the rest has arrived too.
        ASSERT_EQ(plat::SocketRecv(ends[to], buf, 1), 1);
        EXPECT_EQ(plat::SocketPending(ends[to]), 4) << "from " << from;
        ASSERT_EQ(plat::SocketRecv(ends[to], buf + 1, sizeof buf - 1), 4);
        EXPECT_STREQ(buf, "hello");
        EXPECT_EQ(plat::SocketPending(ends[to]), 0);
    }
}

TEST_F(PlatformSocket, NonBlockingEmptyReadWouldBlock)
{
    ASSERT_TRUE(plat::SetSocketNonBlocking(ends[1]));
    char c;
    const int n = plat::SocketRecv(ends[1], &c, 1);
    const int code = plat::SocketErrorCode();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(code, VF_WSAEWOULDBLOCK);
}

TEST_F(PlatformSocket, CloseEndsThePeersStream)
{
    EXPECT_TRUE(plat::CloseSocket(ends[0]));
    ends[0] = plat::kInvalidSocket;
    char c;
    EXPECT_EQ(plat::SocketRecv(ends[1], &c, 1), 0);
    EXPECT_FALSE(plat::CloseSocket(plat::kInvalidSocket));
    // Writing to a closed peer is an error code, not a signal that ends the process. TCP may
    // accept the first writes before the peer's reset arrives.
    int n = 0, code = 0;
    for (int i = 0; i < 100 && n >= 0; ++i) {
        n = plat::SocketSend(ends[1], "x", 1);
        code = plat::SocketErrorCode();
        if (n >= 0) plat::Sleep(5);
    }
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(code == VF_WSAECONNRESET || code == VF_WSAECONNABORTED) << code;
}

std::vector<std::uint8_t> Bytes(std::uint32_t networkOrder)
{
    std::vector<std::uint8_t> b(4);
    std::memcpy(b.data(), &networkOrder, 4);
    return b;
}

TEST(PlatformInetAddr, ParsesClassicDottedForms)
{
    using B = std::vector<std::uint8_t>;
    EXPECT_EQ(Bytes(plat::InetAddr("1.2.3.4")), (B{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(plat::InetAddr("10.1")), (B{10, 0, 0, 1}));
    EXPECT_EQ(plat::InetAddr("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(plat::InetAddr("x"), 0xFFFFFFFFu);
    EXPECT_EQ(plat::InetAddr("127.0.0.1"), plat::HostToNet32(0x7F000001));
    EXPECT_EQ(Bytes(plat::HostToNet32(0x01020304)), (B{1, 2, 3, 4}));
    EXPECT_EQ(plat::NetToHost32(plat::HostToNet32(0xC0A80001)), 0xC0A80001u);
    const std::uint16_t port = plat::HostToNet16(0x1234);
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&port)[0], 0x12);
}

TEST(PlatformProfile, RoundTripsAndOverwrites)
{
    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestKey", L"a value = with spaces"));
    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTestOther", L"PlatformTestKey", L"other"));
    // Added after another section exists: it must land in its own section.
    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestSecond", L"second"));
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestKey", L"-"), L"a value = with spaces");
    EXPECT_EQ(plat::ProfileGetString(L"PLATFORMTEST", L"platformtestkey", L"-"), L"a value = with spaces");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestOther", L"PlatformTestKey", L"-"), L"other");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestSecond", L"-"), L"second");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestOther", L"PlatformTestSecond", L"-"), L"-");

    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestKey", L"beta"));
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestKey", L"-"), L"beta");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestSecond", L"-"), L"second");
}

TEST(PlatformProfile, MissingGivesDefault)
{
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestNeverSet", L"fallback"), L"fallback");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestNoSection", L"PlatformTestKey", L"fallback"), L"fallback");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestNoSection", L"PlatformTestKey", nullptr), L"");
}

TEST(PlatformText, AsciiRoundTrip)
{
    const std::wstring wide = L"Vifnet 1.0 [eth0] key=value;";
    EXPECT_EQ(plat::ToNarrow(wide), "Vifnet 1.0 [eth0] key=value;");
    EXPECT_EQ(plat::ToWide(plat::ToNarrow(wide).c_str()), wide);
    EXPECT_EQ(plat::ToNarrow(L""), "");
    EXPECT_EQ(plat::ToWide(""), L"");
}

}  // namespace
