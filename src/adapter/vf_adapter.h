// One opened host adapter, shared by every interface of the process on it: the driver handle,
// the interfaces bound to it (those that are up), its receive buffers and their sizes.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "adapter/adapter_client.h"
#include "platform/platform.h"
#include "trace/failure.h"
#include "wrenpack.h"

// One receive buffer: a run of capture records as the driver delivered them, numbered by the
// adapter when filled.
class CBuffer {
public:
    // Zeroed storage of nBufSize bytes; GetBufSize() is 0 if it could not be allocated.
    explicit CBuffer(std::uint32_t nBufSize);
    ~CBuffer();
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    std::uint32_t GetSeqNum() const { return m_nSeqNum; }
    void SetSeqNum(std::uint32_t n) { m_nSeqNum = n; }
    std::uint8_t* GetData() { return m_pData; }
    std::uint32_t GetDataLen() const { return m_nDataLen; }
    void SetDataLen(std::uint32_t n);
    std::uint32_t GetBufSize() const { return m_nBufSize; }
    // New capacity, keeping the data; fails (changing nothing) below the data length or when
    // the storage cannot be allocated.
    bool Resize(std::uint32_t nBufSize);

private:
    std::uint32_t m_nSeqNum = 0;
    std::uint8_t* m_pData = nullptr;
    std::uint32_t m_nBufSize = 0;
    std::uint32_t m_nDataLen = 0;
};

// How long a thread about to block for a hand-off from another thread spins first, learnt from
// the hand-offs themselves: one that came within the longest spin lets the spin grow to twice its
// wait, a spin that ran out halves it, down to none. A steady stream so meets a running thread
// instead of paying a wake-up per buffer, and an idle adapter stops spinning after a few
// fruitless spins: at most about 100 us of spinning once traffic stops.
class CSpinBudget {
public:
    static constexpr std::int64_t kMaxNs = 50000;
    static constexpr std::int64_t kMinNs = 2000;

    // Spins until ready() or the budget is spent; whether ready() held.
    template <class Ready>
    bool Spin(Ready ready) {
        const std::int64_t budget = m_ns.load(std::memory_order_relaxed);
        if (budget == 0) return false;
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (ready()) {
                Learn(std::chrono::steady_clock::now() - start);
                return true;
            }
            // Not a pause: the thread the hand-off waits for may have been woken onto this very
            // processor (the scheduler puts a woken thread beside its waker), and would
            // otherwise wait for the spin to end.
            std::this_thread::yield();
            if (std::chrono::steady_clock::now() - start >= std::chrono::nanoseconds(budget)) break;
        }
        // Another thread may have changed the budget meanwhile: either value will do.
        m_ns.store(budget / 2 >= kMinNs ? budget / 2 : 0, std::memory_order_relaxed);
        return false;
    }
    // A blocking wait ended with the hand-off after `waited`.
    void Learn(std::chrono::steady_clock::duration waited) {
        const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count();
        if (ns >= kMaxNs) return;
        const std::int64_t grown = std::clamp<std::int64_t>(2 * ns, kMinNs, kMaxNs);
        if (grown > m_ns.load(std::memory_order_relaxed)) m_ns.store(grown, std::memory_order_relaxed);
    }

private:
    std::atomic<std::int64_t> m_ns{0};
};

// Interfaces bound to an adapter, in binding order.
using CVifnetPtrList = std::vector<CVFAdapterClient*>;
// Receive buffers. Buffers move between the two lists by splicing nodes, which allocates
// nothing.
using CBufferList = std::list<CBuffer*>;

class CVFAdapter : public CErrorPair {
public:
    // Driver buffer limits (bytes) and receive-buffer ("DLL I/O buffer") limits.
    static constexpr std::uint32_t kMinAdapterBufferSize = 65536;
    static constexpr std::uint32_t kMaxAdapterBufferSize = 16777216;
    static constexpr std::uint32_t kMinPacketsBufferSize = 16384;
    static constexpr std::uint32_t kMaxPacketsBufferSize = 1048576;

    // Takes ownership of the open driver handle; copies the host adapter's record.
    CVFAdapter(WP_HANDLE hAdapter, const ADAPTER_INFO_LIST_ENTRY* pInfo);
    ~CVFAdapter();
    CVFAdapter(const CVFAdapter&) = delete;
    CVFAdapter& operator=(const CVFAdapter&) = delete;

    // Binds an interface that goes up (once, however often it is called); the number bound.
    int AddVifnet(CVFAdapterClient* pVF);
    // Unbinds an interface (one never bound is accepted); the number still bound.
    int RemoveVifnet(CVFAdapterClient* pVF);
    int GetVifnetCount();

    // Driver buffer size, 64K to 16384K bytes, applied to the driver at once.
    bool SetAdapterBufferSize(int nBytes);
    std::uint32_t GetAdapterBufferSize() const { return m_nAdapterBufferSize.load(std::memory_order_relaxed); }
    // Receive buffers at least as large as pVF's read buffer (nBytes; 0: its current size) and
    // as every other bound interface's.
    bool SetPacketsBufferSize(CVFAdapterClient* pVF, std::uint32_t nBytes);
    std::uint32_t GetMaxVifnetBufferSize(CVFAdapterClient* pExcluded);
    bool ResizePacketsBuffers(std::uint32_t nBytes);
    std::uint32_t GetPacketsBufferSize();

    const ADAPTER_INFO_LIST_ENTRY& GetAdapterInfo() const { return m_AdapterInfo; }
    // The largest frame the adapter carries now, Ethernet header included (0: not known). The
    // host may change it while the adapter is open: this follows the host's adapter list
    // whenever that is read again, at the price of one load per call while it is not.
    std::uint32_t GetMaxFrameSize();
    const std::wstring& GetMACText() const { return m_strMACAddr; }

    // Whether the reader thread runs (it runs while at least one interface is bound).
    bool IsReaderRunning();

    // The oldest receive buffer numbered *pSeqNum or later, waiting up to nTimeout ms (kInfinite:
    // no limit): copies at most nSize bytes of it to pDest, sets *pSeqNum to its number and
    // returns its full length; 0 when none came in time. The wait also ends, with 0, once pReader
    // stops reading (closed or down: its ReadsEnded) or the adapter has failed.
    std::uint32_t GetNextPacketsBuffer(std::uint32_t* pSeqNum, void* pDest, std::uint32_t nSize, std::uint32_t nTimeout,
                                       const CVFAdapterClient* pReader = nullptr);
    // Wakes the readers waiting in GetNextPacketsBuffer, so that those whose interface stopped
    // reading return; a notify-mode pVF also gets a readiness message, so that a caller waiting
    // on its descriptor comes to read. Takes no interface lock.
    void WakeReaders(CVFAdapterClient* pVF);
    // The driver kept failing to receive (the adapter is gone): nothing more will arrive.
    bool HasFailed();

    // Sends one frame, or one batch of records; no adapter lock (each interface serialises its
    // own writes). On failure the pair is recorded and raised, the message written.
    bool WritePacket(const void* frame, std::uint32_t length);
    // *pnFramesSent: how many frames of the batch, from its first, went out, failure or not.
    bool WriteMultiplePackets(const void* batch, std::uint32_t length, std::uint32_t* pnFramesSent);

private:
    bool StartReaderThread();
    void StopReaderThread();
    // Lets go of m_Lock (held by `lock`) in 10 ms steps until no stop is in progress, so that a
    // start or a second stop never overlaps a stop.
    void WaitWhileStopping(plat::CSingleLock& lock);
    static DWORD ReaderThreadProc(void* arg);
    void ReaderLoop();
    void NotifyVifnets();
    // Asks the reader thread for the next buffer: a flag it sees while it spins, and the event
    // only when it does not (a thread that spins is not woken by a system call).
    void PostReadRequest();
    // The driver keeps failing: the adapter is marked failed, every reader is woken and every
    // notify-mode descriptor made readable. m_Lock held by `lock`.
    void MarkFailed(plat::CSingleLock& lock);
    // One send through the driver call given; on failure the driver's pair and "<operation>:
    // <driverCall> failed".
    using DriverSend = int (*)(WP_HANDLE, const void*, std::uint32_t);
    bool Send(const wchar_t* operation, const wchar_t* driverCall, DriverSend send, const void* data, std::uint32_t length,
              std::uint32_t* pnBatchFramesSent = nullptr);
    // Moves the window's buffers, newest first, to the head of the free list, cleared.
    void RecycleFullBuffers();
    // Writes "** CVFAdapter(<MAC>)::<operation>: <text>\n" as the failure of the operation; FailOpRc
    // writes the system's text of the code before the line end ("; rc=<code>: <text>").
    Failure FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);
    Failure FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);

    plat::CCriticalSection m_Lock{4000};
    CVifnetPtrList m_VifnetPtrList;
    WP_HANDLE m_hAdapter = nullptr;
    ADAPTER_INFO_LIST_ENTRY m_AdapterInfo;
    std::atomic<std::uint32_t> m_nMaxFrameSize{0};
    std::atomic<std::uint32_t> m_nListGeneration{0};  // of the host's list m_nMaxFrameSize came from
    std::wstring m_strMACAddr;
    CBufferList m_FullBufList;
    CBufferList m_FreeBufList;
    std::uint32_t m_nNextBufSeqNum = 0;
    // Raised under m_Lock; readers that spin for the next buffer read it without.
    std::atomic<std::uint64_t> m_nBuffersRead{0};
    plat::CThread m_hReaderThread;
    plat::CEvent m_hReadRequestEvent;
    std::atomic<bool> m_bRequested{false};
    std::atomic<bool> m_bSpinningForRequest{false};
    // The three hand-offs: driver to reader thread, reader thread to readers, readers' request
    // back to the reader thread.
    CSpinBudget m_DriverSpin, m_ReadersSpin, m_RequestSpin;
    bool m_bReadPending = false;
    // The data-ready event's state changes only under m_Lock, and its only waiters are readers
    // holding m_Lock, so it is a condition of that lock rather than a kernel object: no system
    // call per buffer on the way from the driver to a reader. It is signalled once the lock is
    // let go, so that a woken reader does not at once block on the lock again.
    class CDataReadyEvent {
    public:
        // Waits, m_Lock held (released meanwhile), until arrived() or the timeout; arrived().
        // Readers wait for a new buffer rather than for a flag: with several readers, one
        // reader clearing the flag (when it takes the newest buffer) could swallow the wake-up
        // of another that had not run yet.
        template <class Lock, class Arrived>
        bool WaitFor(Lock& lock, DWORD timeoutMs, Arrived arrived) {
            if (timeoutMs == plat::kInfinite) {
                m_Readers.wait(lock, arrived);
                return true;
            }
            return m_Readers.wait_for(lock, std::chrono::milliseconds(timeoutMs), arrived);
        }
        // Every waiter re-checks what it waits for.
        void WakeAll() { m_Readers.notify_all(); }

    private:
        std::condition_variable_any m_Readers;
    };
    CDataReadyEvent m_hDataReadyEvent;
    plat::CEvent m_hStopEvent;
    std::uint32_t m_nPacketsBufferSize = 65536;
    std::atomic<std::uint32_t> m_nAdapterBufferSize{1048576};
    bool m_bStopping = false;
    // Set by the reader thread when the driver's receives keep failing, cleared when a thread
    // starts; guarded by m_Lock.
    bool m_bFailed = false;
};
