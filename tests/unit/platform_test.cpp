#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Entered twice and left once, the lock keeps the threads out. Then they fight for it, some
// nesting it, sleep and are woken: every increment of a plain counter survives, and no thread is
// left asleep (a lost wake-up hangs here).
TEST(PlatformLock, RecursiveExclusiveAndHandedOver) {
    plat::CCriticalSection lock;
    long counter = 0;
    lock.Enter();
    lock.Enter();  // a non-recursive lock deadlocks here
    lock.Leave();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                plat::CSingleLock hold(lock);
                if (t % 2) {
                    plat::CSingleLock again(lock);
                    ++counter;
                } else {
                    ++counter;
                }
                if (i % 1000 == 0) std::this_thread::yield();  // held across a yield: others must sleep
            }
        });
    }
    plat::Sleep(20);
    EXPECT_EQ(counter, 0) << "entered by another thread while still owned";
    lock.Leave();
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, 4 * 20000);
}

TEST(PlatformEvent, ManualResetAndIndex) {
    plat::CEvent a, b;
    const plat::WaitHandle both[2] = {a.Handle(), b.Handle()};
    EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitTimeout);
    EXPECT_TRUE(b.Set());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitObject0 + 1);
    EXPECT_TRUE(a.Set());
    EXPECT_EQ(plat::WaitForAny(both, 2, 0), plat::kWaitObject0);  // lowest index wins
    // The library reports errors to its callers in errno: a successful Reset keeps it.
    plat::SetErrno(VF_EINVAL);
    const bool reset = a.Reset() && b.Reset() && b.Reset();
    const int err = plat::GetErrno();
    EXPECT_EQ(std::make_pair(reset, err), std::make_pair(true, int(VF_EINVAL)));
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

using ErrorPair = std::pair<DWORD, int>;

// Run by a CThread (std::thread on mingw resets its creator's last error): sets the thread's own pair, keeps what it reads.
DWORD SetOwnErrors(void* p) {
    plat::SetLastErrorCode(5678);
    plat::SetErrno(44);
    *static_cast<ErrorPair*>(p) = {plat::GetLastErrorCode(), plat::GetErrno()};
    return 0;
}

TEST(PlatformLastError, IsPerThread) {
    ErrorPair seen;
    plat::SetLastErrorCode(1234);
    plat::SetErrno(33);
    plat::CThread t;
    ASSERT_TRUE(t.Start(SetOwnErrors, &seen));
    EXPECT_FALSE(t.Start(SetOwnErrors, &seen));  // one thread per object
    ASSERT_TRUE(t.Join());
    const ErrorPair mine{plat::GetLastErrorCode(), plat::GetErrno()};
    EXPECT_EQ(mine, ErrorPair(1234, 33));
    EXPECT_EQ(seen, ErrorPair(5678, 44));

    const std::wstring text = plat::SystemErrorText(87);
    EXPECT_EQ(text.find_last_not_of(L"\r\n "), text.size() - 1);
    EXPECT_FALSE(plat::SystemErrorText(0x7FFF1234).empty());
}

// The notify path tells a full socket by this code; sending and receiving: the socket-pair tests.
TEST(PlatformSocket, EmptyNonBlockingSocketWouldBlock) {
    ASSERT_TRUE(plat::SocketsStartup());
    plat::Socket ends[2];
    ASSERT_EQ(plat::MakeStreamSocketPair(ends), 0);
    ASSERT_TRUE(plat::SetSocketNonBlocking(ends[1]));
    char c;
    const int n = plat::SocketRecv(ends[1], &c, 1);
    EXPECT_EQ(std::make_pair(n, plat::SocketErrorCode()), std::make_pair(-1, int(VF_WSAEWOULDBLOCK)));
    EXPECT_TRUE(plat::CloseSocket(ends[0]) && plat::CloseSocket(ends[1]));
    plat::SocketsCleanup();
}

TEST(PlatformProfile, RoundTripsOverwritesAndDefaults) {
#ifndef _WIN32
    // A profile file of its own each run, so that creating it is exercised every time, not only the first.
    const std::string saved = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    const auto fresh = std::filesystem::temp_directory_path() / ("vifnet-platform-test-" + std::to_string(getpid()));
    setenv("XDG_CONFIG_HOME", fresh.c_str(), 1);
#endif
    EXPECT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestKey", L"alpha"));
    EXPECT_TRUE(plat::ProfileSetString(L"PlatformTestOther", L"PlatformTestKey", L"other"));
    // Added after another section exists: it must land in its own section. Then overwritten among others.
    EXPECT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestSecond", L"second"));
    EXPECT_TRUE(plat::ProfileSetString(L"PlatformTest", L"PlatformTestKey", L"a value = with spaces"));
    EXPECT_EQ(plat::ProfileGetString(L"PLATFORMTEST", L"platformtestkey", L"-"), L"a value = with spaces");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestOther", L"PlatformTestKey", L"-"), L"other");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTest", L"PlatformTestSecond", L"-"), L"second");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestOther", L"PlatformTestSecond", L"-"), L"-");
    EXPECT_EQ(plat::ProfileGetString(L"PlatformTestNoSection", L"PlatformTestKey", nullptr), L"");
#ifndef _WIN32
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    std::filesystem::remove_all(fresh);
#endif
}

}  // namespace
