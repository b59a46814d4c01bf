#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

TEST(PlatformLock, RecursiveAndExclusive) {
    plat::CCriticalSection held;
    std::atomic<bool> entered{false};
    held.Enter();
    held.Enter();  // a non-recursive lock deadlocks here
    held.Leave();
    std::thread other([&] {
        plat::CSingleLock lock(held);
        entered = true;
    });
    plat::Sleep(20);  // still owned once: the other thread must stay out meanwhile
    EXPECT_FALSE(entered);
    held.Leave();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(PlatformEvent, ManualResetAndIndex) {
    plat::CEvent a, b;
    ASSERT_TRUE(a.Valid() && b.Valid());
    const plat::WaitHandle both[2] = {a.Handle(), b.Handle()};
    EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitTimeout);
    EXPECT_EQ(plat::WaitForAny(both, 2, 20), plat::kWaitTimeout);
    EXPECT_TRUE(b.Set());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitObject0 + 1);
    EXPECT_TRUE(a.Set());
    EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitObject0);  // lowest index wins
    // The library reports errors to its callers in errno: a successful Reset keeps it.
    plat::SetErrno(VF_EINVAL);
    const bool reset = a.Reset() && b.Reset() && b.Reset();
    const int err = plat::GetErrno();
    EXPECT_TRUE(reset);
    EXPECT_EQ(err, VF_EINVAL);
    EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitTimeout);

    // Set twice, undone by one Reset, whatever counts the sets.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(a.Set() && a.Set());
        ASSERT_EQ(plat::WaitForAny(both, 1, 0), plat::kWaitObject0) << i;
        ASSERT_TRUE(a.Reset());
        ASSERT_EQ(plat::WaitForAny(both, 1, 0), plat::kWaitTimeout) << i;
    }

    // A failed wait, not a timeout: with kInfinite that would be a hang.
    const plat::WaitHandle none = plat::kNoWaitHandle;
    EXPECT_EQ(plat::WaitForAny(&none, 1, 0), plat::kWaitFailed);
    EXPECT_EQ(plat::WaitForAny(both, 0, 0), plat::kWaitFailed);
}

struct Job {
    int input = 0;
    std::atomic<int> output{0};
};

DWORD SlowDouble(void* p) {
    auto* job = static_cast<Job*>(p);
    plat::Sleep(20);  // a Join that does not wait would read a stale result
    job->output = job->input * 2;
    return 0;
}

TEST(PlatformThread, RunsJoinsAndWakesWaiter) {
    plat::CThread t;
    EXPECT_FALSE(t.Running());
    EXPECT_TRUE(t.Join());  // never started

    Job job;
    job.input = 21;
    ASSERT_TRUE(t.Start(SlowDouble, &job));
    EXPECT_TRUE(t.Running());
    EXPECT_FALSE(t.Start(SlowDouble, &job));  // one thread per object
    EXPECT_TRUE(t.Join());
    EXPECT_FALSE(t.Running());
    EXPECT_EQ(job.output, 42);

    Job scopedJob;
    scopedJob.input = 5;
    {
        plat::CThread scoped;
        ASSERT_TRUE(scoped.Start(SlowDouble, &scopedJob));
    }  // destruction joins
    EXPECT_EQ(scopedJob.output, 10);

    // A thread's Set wakes a wait without a timeout.
    plat::CEvent ev;
    const plat::WaitHandle h = ev.Handle();
    ASSERT_TRUE(t.Start(
        [](void* p) -> DWORD {
            plat::Sleep(20);  // lets the waiter block first
            return static_cast<plat::CEvent*>(p)->Set() ? 0 : 1;
        },
        &ev));
    EXPECT_EQ(plat::WaitForAny(&h, 1, plat::kInfinite), plat::kWaitObject0);
    EXPECT_TRUE(t.Join());
}

TEST(PlatformLastError, IsPerThread) {
    struct Seen {
        DWORD code = 0;
        int err = 0;
    } seen;
    plat::SetLastErrorCode(1234);
    plat::SetErrno(33);
    plat::CThread t;
    ASSERT_TRUE(t.Start(
        [](void* p) -> DWORD {
            plat::SetLastErrorCode(5678);
            plat::SetErrno(44);
            *static_cast<Seen*>(p) = Seen{plat::GetLastErrorCode(), plat::GetErrno()};
            return 0;
        },
        &seen));
    t.Join();
    const DWORD mine = plat::GetLastErrorCode();
    const int myErrno = plat::GetErrno();
    EXPECT_EQ(mine, 1234u);
    EXPECT_EQ(myErrno, 33);
    EXPECT_EQ(seen.code, 5678u);
    EXPECT_EQ(seen.err, 44);

    const std::wstring text = plat::SystemErrorText(87);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_last_not_of(L"\r\n "), text.size() - 1);
    EXPECT_FALSE(plat::SystemErrorText(0x7FFF1234).empty());
}

class PlatformSocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plat::SocketsStartup());
        ASSERT_EQ(plat::MakeStreamSocketPair(ends), 0);
        ASSERT_TRUE(ends[0] != plat::kInvalidSocket && ends[1] != plat::kInvalidSocket && ends[0] != ends[1]);
    }
    void TearDown() override {
        for (plat::Socket s : ends)
            if (s != plat::kInvalidSocket) plat::CloseSocket(s);
        plat::SocketsCleanup();
    }
    plat::Socket ends[2] = {plat::kInvalidSocket, plat::kInvalidSocket};
};

TEST_F(PlatformSocket, PairCarriesBytesBothWays) {
    for (int from : {0, 1}) {
        const int to = 1 - from;
        EXPECT_TRUE(plat::SetSocketNoDelay(ends[from]));
        ASSERT_EQ(plat::SocketSend(ends[from], "hello", 5), 5);
        char buf[16] = {};
        ASSERT_EQ(plat::SocketRecv(ends[to], buf, 1), 1);  // blocks until the bytes are there
        EXPECT_EQ(plat::SocketPending(ends[to]), 4) << "from " << from;
        ASSERT_EQ(plat::SocketRecv(ends[to], buf + 1, sizeof buf - 1), 4);
        EXPECT_STREQ(buf, "hello");
    }
    ASSERT_TRUE(plat::SetSocketNonBlocking(ends[1]));
    char c;
    const int n = plat::SocketRecv(ends[1], &c, 1);
    const int code = plat::SocketErrorCode();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(code, VF_WSAEWOULDBLOCK);
}

TEST(PlatformInetAddr, ParsesClassicDottedForms) {
    const std::uint32_t net = plat::HostToNet32(0x01020304);
    EXPECT_EQ(std::memcmp(&net, "\x01\x02\x03\x04", 4), 0);
    EXPECT_EQ(plat::NetToHost32(net), 0x01020304u);
    EXPECT_EQ(plat::InetAddr("1.2.3.4"), net);
    EXPECT_EQ(plat::InetAddr("10.1"), plat::HostToNet32(0x0A000001));
    EXPECT_EQ(plat::InetAddr("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(plat::InetAddr("x"), 0xFFFFFFFFu);
}

// On Linux the profile is a file under XDG_CONFIG_HOME: a fresh one per test, so that creating
// the file and adding entries to it are exercised on every run, not only the first. The
// Windows registry keeps values between runs; every test writes before it reads.
class PlatformProfile : public ::testing::Test {
protected:
#ifndef _WIN32
    void SetUp() override {
        const char* base = std::getenv("XDG_CONFIG_HOME");
        saved = base ? base : "";
        fresh = std::filesystem::temp_directory_path() / ("vifnet-platform-test-" + std::to_string(getpid()));
        std::filesystem::remove_all(fresh);
        setenv("XDG_CONFIG_HOME", fresh.c_str(), 1);
    }
    void TearDown() override {
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
        std::filesystem::remove_all(fresh);
    }
    std::string saved;
    std::filesystem::path fresh;
#endif
};

TEST_F(PlatformProfile, RoundTripsOverwritesAndDefaults) {
    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestKey", L"a value = with spaces"));
    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTestOther", L"PlatformTestKey", L"other"));
    // Added after another section exists: it must land in its own section.
    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestSecond", L"second"));
    EXPECT_EQ(plat::ProfileGetString(L"PLATFORMTEST", L"platformtestkey", L"-"), L"a value = with spaces");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestOther", L"PlatformTestKey", L"-"), L"other");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestSecond", L"-"), L"second");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestOther", L"PlatformTestSecond", L"-"), L"-");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestNoSection", L"PlatformTestKey", nullptr), L"");

    ASSERT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestKey", L"beta"));
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestKey", L"-"), L"beta");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestSecond", L"-"), L"second");
}

TEST(PlatformText, AsciiRoundTrip) {
    const std::wstring wide = L"Vifnet 1.0 [eth0] key=value;";
    EXPECT_EQ(plat::ToNarrow(wide), "Vifnet 1.0 [eth0] key=value;");
    EXPECT_EQ(plat::ToWide(plat::ToNarrow(wide).c_str()), wide);
}

}  // namespace
