// The library's one view of the operating system: locks, events, threads, time, the thread's
// last error code, sockets, the per-user profile, the process start-up messages and text
// conversion. platform_win.cpp and platform_linux.cpp implement it; nothing else in the library
// includes a system header that differs between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/errors.h"

namespace plat {

// ---- Locks and events ------------------------------------------------------------------------

// Recursive lock that spins before it blocks (the spin count every lock of the library uses).
class CCriticalSection {
public:
    explicit CCriticalSection(unsigned spinCount = 4000);
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    void Enter();
    void Leave();

private:
    alignas(8) unsigned char m_storage[64];
    unsigned m_nSpinCount;
};

// Holds a lock for its scope; Unlock and Lock let a scope let go of it for a while (failure
// messages are written after the lock is left).
class CSingleLock {
public:
    explicit CSingleLock(CCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CSingleLock() {
        if (m_bLocked) m_cs.Leave();
    }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;
    void Unlock() {
        if (m_bLocked) m_cs.Leave();
        m_bLocked = false;
    }
    void Lock() {
        if (!m_bLocked) m_cs.Enter();
        m_bLocked = true;
    }

private:
    CCriticalSection& m_cs;
    bool m_bLocked = true;
};

// Something a thread can wait on: a Windows HANDLE, or a file descriptor that polls readable
// while signalled. The packet driver's read event is one of these too.
#if defined(_WIN32)
using WaitHandle = void*;
constexpr WaitHandle kNoWaitHandle = nullptr;
#else
using WaitHandle = int;
constexpr WaitHandle kNoWaitHandle = -1;
#endif

constexpr DWORD kInfinite = 0xFFFFFFFFu;
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitTimeout = VF_WAIT_TIMEOUT;
constexpr DWORD kWaitFailed = 0xFFFFFFFFu;

// Manual-reset event, created not signalled. Valid() is false if creation failed.
class CEvent {
public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    bool Valid() const { return m_handle != kNoWaitHandle; }
    bool Set();
    bool Reset();
    WaitHandle Handle() const { return m_handle; }

private:
    WaitHandle m_handle;
};

// Waits until any of the handles is signalled (kWaitObject0 + its index), the timeout passes
// (kWaitTimeout) or the wait fails (kWaitFailed). Timeout in milliseconds or kInfinite.
DWORD WaitForAny(const WaitHandle* handles, unsigned count, DWORD timeoutMs);

// ---- Threads and time ------------------------------------------------------------------------

using ThreadProc = DWORD (*)(void* arg);

// A joinable thread. Start fails (false) if the system could not create it.
class CThread {
public:
    CThread() = default;
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;
    bool Start(ThreadProc proc, void* arg);
    bool Running() const { return m_handle != nullptr; }
    // Waits for the thread to end and releases it; false if the wait failed.
    bool Join();

private:
    void* m_handle = nullptr;
};

DWORD GetTickCount();
void Sleep(DWORD ms);
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// ---- The thread's last error code --------------------------------------------------------------

DWORD GetLastErrorCode();
void SetLastErrorCode(DWORD code);
// Sets the thread's errno (the C runtime the library shares with its callers).
void SetErrno(int value);
int GetErrno();

// The system's text for a Windows error code, without a trailing line end.
std::wstring SystemErrorText(DWORD code);

// ---- Sockets -----------------------------------------------------------------------------------

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Starts the socket layer once per process; false if it cannot be used.
bool SocketsStartup();
void SocketsCleanup();
// The socket layer's error code of the last failed call, as a Windows Sockets number.
int SocketErrorCode();

// A connected pair of stream sockets: end 0 accepts, end 1 connects. Returns 0, or the socket
// layer's error code with both ends kInvalidSocket and nothing left open.
int MakeStreamSocketPair(Socket ends[2]);
bool CloseSocket(Socket s);
// Turns off send coalescing; true where the socket has none to turn off.
bool SetSocketNoDelay(Socket s);
bool SetSocketNonBlocking(Socket s);
// Sends or receives up to len bytes; returns the byte count or -1 with SocketErrorCode() set.
int SocketSend(Socket s, const void* data, int len);
int SocketRecv(Socket s, void* data, int len);
// Bytes waiting to be read, or -1.
int SocketPending(Socket s);

// The classic dotted IPv4 parser of the socket layer: network byte order, 0xFFFFFFFF when the
// text is not an address (and for 255.255.255.255).
std::uint32_t InetAddr(const char* text);
std::uint32_t HostToNet32(std::uint32_t v);
std::uint32_t NetToHost32(std::uint32_t v);
std::uint16_t HostToNet16(std::uint16_t v);

// ---- Per-user profile --------------------------------------------------------------------------

// The value `key` of `section` in the library's per-user profile, or `defaultValue`.
std::wstring ProfileGetString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue);
bool ProfileSetString(const wchar_t* section, const wchar_t* key, const wchar_t* value);

// ---- Start-up messages and text ------------------------------------------------------------------

// Tells the user that the library could not start: string 101 (sockets) or 102 (tables).
void ShowStartupFailure(unsigned stringId);

// True when the environment variable VIFNET_STARTUP_FAULT names this start-up step ("sockets"
// or "maps"): it lets the start-up failure paths be exercised; nothing else sets it.
bool StartupFaultRequested(const char* step);

// Narrow text in the code page callers read (the ANSI code page on Windows, UTF-8 elsewhere).
std::string ToNarrow(const std::wstring& text);
std::wstring ToWide(const char* text);

}  // namespace plat
