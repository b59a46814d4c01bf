#include "adapter/vf_adapter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "host/adapter_list.h"
#include "host/driver.h"
#include "trace/trace.h"
#include "wrenlib.h"

// ---- CBuffer -------------------------------------------------------------------------------------

CBuffer::CBuffer(std::uint32_t nBufSize) {
    m_pData = new (std::nothrow) std::uint8_t[nBufSize]();
    m_nBufSize = m_pData ? nBufSize : 0;
}

CBuffer::~CBuffer() { delete[] m_pData; }

void CBuffer::SetDataLen(std::uint32_t n) {
    VF_ASSERT(m_pData != nullptr);
    VF_ASSERT(n <= m_nBufSize);
    m_nDataLen = std::min(n, m_nBufSize);
}

bool CBuffer::Resize(std::uint32_t nBufSize) {
    if (nBufSize == m_nBufSize) return true;
    if (nBufSize < m_nDataLen) return false;
    auto* data = new (std::nothrow) std::uint8_t[nBufSize];
    if (!data) return false;
    if (m_nDataLen) std::memcpy(data, m_pData, m_nDataLen);
    delete[] m_pData;
    m_pData = data;
    m_nBufSize = nBufSize;
    return true;
}

// ---- CVFAdapter ------------------------------------------------------------------------------------

CVFAdapter::CVFAdapter(WP_HANDLE hAdapter, const ADAPTER_INFO_LIST_ENTRY* pInfo) : m_hAdapter(hAdapter) {
    VF_ASSERT(hAdapter != nullptr);
    VF_ASSERT(pInfo != nullptr);
    m_VifnetPtrList.reserve(10);
    if (pInfo) {
        std::memcpy(&m_AdapterInfo, pInfo, sizeof m_AdapterInfo);
    } else {
        std::memset(&m_AdapterInfo, 0, sizeof m_AdapterInfo);
    }
    m_AdapterInfo.pNext = nullptr;
    FormatMACAddr(m_AdapterInfo.MACAddr, m_strMACAddr);
    m_nListGeneration.store(GetWPAdaptersListGeneration(), std::memory_order_relaxed);
    m_nMaxFrameSize.store(m_AdapterInfo.nMaxFrameSize, std::memory_order_relaxed);
}

std::uint32_t CVFAdapter::GetMaxFrameSize() {
    const std::uint32_t generation = GetWPAdaptersListGeneration();
    if (generation != m_nListGeneration.load(std::memory_order_relaxed)) {
        // Two senders may both look: they store the same value.
        if (const ADAPTER_INFO_LIST_ENTRY* entry = FindWPAdapterByName(m_AdapterInfo.szAdapterName)) {
            m_nMaxFrameSize.store(entry->nMaxFrameSize, std::memory_order_relaxed);
        }
        m_nListGeneration.store(generation, std::memory_order_relaxed);
    }
    return m_nMaxFrameSize.load(std::memory_order_relaxed);
}

CVFAdapter::~CVFAdapter() {
    {
        plat::CSingleLock lock(m_Lock);
        VF_ASSERT(m_VifnetPtrList.empty());
        m_VifnetPtrList.clear();
    }
    StopReaderThread();
    if (m_hAdapter) WrenPackCloseAdapter(m_hAdapter);
    m_hAdapter = nullptr;
    m_FreeBufList.splice(m_FreeBufList.end(), m_FullBufList);
    for (CBuffer* buffer : m_FreeBufList)
        delete buffer;
    m_FreeBufList.clear();
    VF_ASSERT(m_hReadRequestEvent.Valid());
    VF_ASSERT(m_hStopEvent.Valid());
}

int CVFAdapter::AddVifnet(CVFAdapterClient* pVF) {
    VF_ASSERT(pVF != nullptr);
    if (!pVF) return GetVifnetCount();
    {
        plat::CSingleLock lock(m_Lock);
        if (std::find(m_VifnetPtrList.begin(), m_VifnetPtrList.end(), pVF) == m_VifnetPtrList.end()) {
            m_VifnetPtrList.push_back(pVF);
        }
    }
    StartReaderThread();
    plat::CSingleLock lock(m_Lock);
    const int count = static_cast<int>(m_VifnetPtrList.size());
    const bool sized = SetPacketsBufferSize(pVF, 0);
    VF_ASSERT(sized);
    VF_ASSERT(count >= 0);
    return count;
}

int CVFAdapter::RemoveVifnet(CVFAdapterClient* pVF) {
    VF_ASSERT(pVF != nullptr);
    plat::CSingleLock lock(m_Lock);
    auto it = std::find(m_VifnetPtrList.begin(), m_VifnetPtrList.end(), pVF);
    if (it != m_VifnetPtrList.end()) m_VifnetPtrList.erase(it);
    // A reader of the interface that went down stops waiting (its flags are already down).
    m_hDataReadyEvent.WakeAll();
    int count = static_cast<int>(m_VifnetPtrList.size());
    if (count == 0) {
        // Stopping waits for the reader thread, which needs the lock.
        lock.Unlock();
        StopReaderThread();
        lock.Lock();
        count = static_cast<int>(m_VifnetPtrList.size());
        if (count != 0) {
            // Another interface was bound while the thread stopped: it needs a thread again.
            lock.Unlock();
            StartReaderThread();
            lock.Lock();
            count = static_cast<int>(m_VifnetPtrList.size());
        }
    }
    if (count > 0) {
        const bool resized = ResizePacketsBuffers(GetMaxVifnetBufferSize(nullptr));
        VF_ASSERT(resized);
    }
    return count;
}

int CVFAdapter::GetVifnetCount() {
    plat::CSingleLock lock(m_Lock);
    return static_cast<int>(m_VifnetPtrList.size());
}

// ---- Reader thread ---------------------------------------------------------------------------------

namespace {

// m_Lock as the condition variable needs it.
struct LockRef {
    plat::CCriticalSection& cs;
    void lock() { cs.Enter(); }
    void unlock() { cs.Leave(); }
};

// Window of filled buffers the readers can still take.
constexpr std::uint32_t kMaxFullBufs = 16;
// Receives failing in a row before the adapter counts as gone: a passing fault rarely fails
// twice. A failure that says the device no longer exists is believed at once.
constexpr unsigned kFailuresToGiveUp = 8;
// After a failed receive the driver may fall silent (a deleted device's capture signals its
// error once): the next receive is tried after this many ms even if the driver says nothing.
constexpr DWORD kProbeAfterFailure = 100;
// The adapter packet filter: one return-constant instruction that accepts every frame whole.
// Which frames an interface takes is its own decision.
const WP_BPF_INSN kAcceptAll[1] = {{0x0006, 0, 0, 0xFFFFFFFFu}};
const WP_BPF_PROGRAM kAcceptAllProgram = {1, kAcceptAll};

}  // namespace

void CVFAdapter::WaitWhileStopping(plat::CSingleLock& lock) {
    while (m_bStopping) {
        lock.Unlock();
        plat::Sleep(10);
        lock.Lock();
    }
}

bool CVFAdapter::StartReaderThread() {
    plat::CSingleLock lock(m_Lock);
    WaitWhileStopping(lock);
    if (m_hReaderThread.Running()) return true;
    VF_ASSERT(m_hAdapter != nullptr);
    VF_ASSERT(m_FullBufList.empty());
    VF_ASSERT(m_hReadRequestEvent.Valid() && m_hStopEvent.Valid());
    m_nNextBufSeqNum = 0;
    m_bReadPending = false;
    m_bFailed = false;
    m_hReadRequestEvent.Reset();
    m_hStopEvent.Reset();
    const bool started = m_hReaderThread.Start(&CVFAdapter::ReaderThreadProc, this);
    VF_ASSERT(started);
    // The first buffer is read without waiting for a request.
    PostReadRequest();
    return started;
}

void CVFAdapter::StopReaderThread() {
    plat::CSingleLock lock(m_Lock);
    // Two interfaces unbound at once may both ask: the second waits for the first stop to end
    // instead of joining the same thread twice.
    WaitWhileStopping(lock);
    if (!m_hReaderThread.Running()) return;
    m_bStopping = true;
    VF_ASSERT(m_hStopEvent.Valid());
    m_hStopEvent.Set();
    lock.Unlock();
    const bool joined = m_hReaderThread.Join();
    VF_ASSERT(joined);
    lock.Lock();
    RecycleFullBuffers();
    m_bStopping = false;
}

bool CVFAdapter::IsReaderRunning() {
    plat::CSingleLock lock(m_Lock);
    return m_hReaderThread.Running();
}

DWORD CVFAdapter::ReaderThreadProc(void* arg) {
    static_cast<CVFAdapter*>(arg)->ReaderLoop();
    return 0;
}

void CVFAdapter::RecycleFullBuffers() {
    while (!m_FullBufList.empty()) {
        CBuffer* buffer = m_FullBufList.back();
        buffer->SetDataLen(0);
        buffer->SetSeqNum(0);
        m_FreeBufList.splice(m_FreeBufList.begin(), m_FullBufList, std::prev(m_FullBufList.end()));
    }
}

void CVFAdapter::ReaderLoop() {
    plat::CSingleLock lock(m_Lock);
    const WP_HANDLE hAdapter = m_hAdapter;
    const std::uint32_t nMaxFull = kMaxFullBufs;
    const std::uint32_t nDriverBuffer = m_nAdapterBufferSize.load(std::memory_order_relaxed);
    VF_ASSERT(hAdapter != nullptr && nDriverBuffer != 0);
    VF_ASSERT(m_FullBufList.empty());
    lock.Unlock();

    // Failures here are reported and otherwise ignored: a driver that refuses a setting still
    // delivers frames with its own.
    VF_ASSERT(WrenPackSetBuff(hAdapter, nDriverBuffer));
    VF_ASSERT(WrenPackSetBpf(hAdapter, &kAcceptAllProgram));
    VF_ASSERT(WrenPackSetReadEventThreshold(hAdapter, 0));
    const plat::WaitHandle hDriverEvent = WrenPackGetWin32ReadEventHandle(hAdapter);
    VF_ASSERT(hDriverEvent != plat::kNoWaitHandle);

    lock.Lock();
    if (m_FreeBufList.empty()) {
        for (std::uint32_t i = 0; i <= nMaxFull; ++i)
            m_FreeBufList.push_back(new CBuffer(m_nPacketsBufferSize));
    }
    lock.Unlock();

    const plat::WaitHandle driverWait[2] = {m_hStopEvent.Handle(), hDriverEvent};
    const plat::WaitHandle requestWait[2] = {m_hStopEvent.Handle(), m_hReadRequestEvent.Handle()};
    // The buffer being filled, held in a list of its own so that it moves between the lists
    // by splicing, without allocating a list node per receive.
    CBufferList inHand;
    unsigned nUnproductive = 0;
    unsigned nFailures = 0;
    // The link went down: its capture says so once and then falls silent, also when the device
    // is removed afterwards, which only a receive can learn. So the driver is probed until
    // frames come again or it reports the device gone.
    bool bLinkDown = false;
    bool stop = false;
    while (!stop) {
        lock.Lock();
        // A thread that finds its hand-offs waiting for it by spinning may not reach a wait on
        // the stop event for as long as traffic flows: the stop is also looked for here.
        if (m_bStopping) {
            lock.Unlock();
            break;
        }
        m_hReadRequestEvent.Reset();
        m_bRequested.store(false, std::memory_order_relaxed);
        m_bReadPending = true;
        lock.Unlock();

        DWORD woke = plat::kWaitObject0 + 1;
        // A failing driver is not spun on: it is probed at its own pace.
        const bool bProbing = nFailures != 0 || bLinkDown;
        if (bProbing || !m_DriverSpin.Spin([&] { return plat::WaitForAny(&hDriverEvent, 1, 0) == plat::kWaitObject0; })) {
            const auto blocked = std::chrono::steady_clock::now();
            woke = plat::WaitForAny(driverWait, 2, bProbing ? kProbeAfterFailure : plat::kInfinite);
            if (woke == plat::kWaitObject0 + 1) m_DriverSpin.Learn(std::chrono::steady_clock::now() - blocked);
        }
        if (woke == plat::kWaitObject0) break;
        const bool probe = woke == plat::kWaitTimeout && bProbing;
        if (woke != plat::kWaitObject0 + 1 && !probe) {
            PostReadRequest();
        } else {
            if (inHand.empty()) {
                lock.Lock();
                if (m_FreeBufList.empty()) m_FreeBufList.push_back(new CBuffer(m_nPacketsBufferSize));
                inHand.splice(inHand.end(), m_FreeBufList, m_FreeBufList.begin());
                lock.Unlock();
            }
            CBuffer* pInHand = inHand.front();
            // A buffer whose storage could not be allocated is kept in hand and asks for its
            // storage again before each receive, rather than being lost or read into.
            if (pInHand->GetBufSize() == 0) {
                lock.Lock();
                pInHand->Resize(m_nPacketsBufferSize);
                lock.Unlock();
            }
            std::uint32_t nRead = 0;
            const bool received = pInHand->GetBufSize() != 0 &&
                                  WrenPackRecvPacket(hAdapter, pInHand->GetData(), pInHand->GetBufSize(), &nRead, nullptr);
            if (received) nFailures = 0;
            if (received && nRead != 0) bLinkDown = false;
            const DWORD code = received ? VF_ERROR_SUCCESS : TakeDriverError().code;
            if (code == VF_WSAENETDOWN) bLinkDown = true;
            if (!received && (++nFailures == kFailuresToGiveUp || code == VF_ERROR_DEV_NOT_EXIST)) {
                // The adapter is gone: nothing is asked of the driver any more, and readers
                // learn it at once instead of waiting out their timeouts.
                DebugTrace(
                    L"** CVFAdapter(%s)::ReaderThread: WrenPackRecvPacket failed; no more frames from this adapter; rc=%d: %s\n",
                    m_strMACAddr.c_str(), code, FormatLastError(code).c_str());
                lock.Lock();
                MarkFailed(lock);
                lock.Unlock();
                // Only the stop request is waited for now.
                const DWORD stopped = plat::WaitForAny(driverWait, 1, plat::kInfinite);
                VF_ASSERT(stopped == plat::kWaitObject0);
                break;
            }
            if (!received || nRead == 0) {
                // The driver said data waits but gave none: try again, pausing from the second
                // failure in a row on, so a driver that keeps failing does not keep a core busy.
                if (++nUnproductive > 1) plat::Sleep(1);
                PostReadRequest();
            } else {
                nUnproductive = 0;
                lock.Lock();
                pInHand->SetSeqNum(m_nNextBufSeqNum++);
                pInHand->SetDataLen(nRead);
                m_FullBufList.splice(m_FullBufList.end(), inHand);
                ++m_nBuffersRead;
                while (m_FullBufList.size() > nMaxFull) {
                    CBuffer* oldest = m_FullBufList.front();
                    oldest->SetDataLen(0);
                    oldest->SetSeqNum(0);
                    m_FreeBufList.splice(m_FreeBufList.begin(), m_FullBufList, m_FullBufList.begin());
                }
                m_bReadPending = false;
                NotifyVifnets();
                lock.Unlock();
                m_hDataReadyEvent.WakeAll();
            }
        }
        // A steady reader asks for the next buffer soon after it took this one: the thread
        // spins for the request rather than sleep and be woken for it. Whether one came is
        // read after the spinning flag is down, so a request posted meanwhile either saw the
        // flag down (and set the event) or is seen here.
        bool requested = m_bRequested.load();
        if (!requested) {
            m_bSpinningForRequest.store(true);
            requested = m_RequestSpin.Spin([&] { return m_bRequested.load(std::memory_order_relaxed); });
            m_bSpinningForRequest.store(false);
            requested = requested || m_bRequested.load();
        }
        if (requested) continue;
        const auto blocked = std::chrono::steady_clock::now();
        for (;;) {
            const DWORD request = plat::WaitForAny(requestWait, 2, plat::kInfinite);
            if (request == plat::kWaitObject0) {
                stop = true;
                break;
            }
            if (request == plat::kWaitObject0 + 1) {
                m_RequestSpin.Learn(std::chrono::steady_clock::now() - blocked);
                break;
            }
        }
    }

    lock.Lock();
    m_hReadRequestEvent.Reset();
    m_bReadPending = false;
    m_FreeBufList.splice(m_FreeBufList.begin(), inHand);
    RecycleFullBuffers();
}

void CVFAdapter::PostReadRequest() {
    m_bRequested.store(true);
    if (!m_bSpinningForRequest.load()) m_hReadRequestEvent.Set();
}

void CVFAdapter::NotifyVifnets() {
    for (CVFAdapterClient* pVF : m_VifnetPtrList)
        pVF->PacketNotify(m_nBuffersRead);
}

void CVFAdapter::MarkFailed(plat::CSingleLock&) {
    m_bFailed = true;
    // The count is not raised: the message only makes each descriptor readable, so that a
    // caller waiting on it reads and gets the failure; it stays there, as the failure does.
    NotifyVifnets();
    m_hDataReadyEvent.WakeAll();
}

bool CVFAdapter::HasFailed() {
    plat::CSingleLock lock(m_Lock);
    return m_bFailed;
}

void CVFAdapter::WakeReaders(CVFAdapterClient* pVF) {
    plat::CSingleLock lock(m_Lock);
    // Under the lock, so that a reader that has checked its interface but not yet begun to wait
    // is already waiting when the notification comes.
    if (pVF && std::find(m_VifnetPtrList.begin(), m_VifnetPtrList.end(), pVF) != m_VifnetPtrList.end()) {
        pVF->PacketNotify(m_nBuffersRead);
    }
    m_hDataReadyEvent.WakeAll();
}

std::uint32_t CVFAdapter::GetNextPacketsBuffer(std::uint32_t* pSeqNum, void* pDest, std::uint32_t nSize, std::uint32_t nTimeout,
                                               const CVFAdapterClient* pReader) {
    // The clock is read only when nothing is waiting: a poll (timeout 0) gives up at once
    // without it, and a buffer already held is delivered without it.
    DWORD deadline = 0;
    bool haveDeadline = false;
    plat::CSingleLock lock(m_Lock);
    VF_ASSERT(!m_VifnetPtrList.empty());
    if (!m_hReaderThread.Running()) {
        lock.Unlock();
        StartReaderThread();
        lock.Lock();
    }
    // Checked under m_Lock, which WakeReaders takes before it wakes anyone.
    auto readsEnded = [&] { return pReader && pReader->ReadsEnded(); };
    for (;;) {
        if (readsEnded()) return 0;
        if (m_FullBufList.empty()) {
            VF_ASSERT(m_nNextBufSeqNum == 0);
            *pSeqNum = 0;
        } else {
            const std::uint32_t newest = m_FullBufList.back()->GetSeqNum();
            if (*pSeqNum > newest + 1) *pSeqNum = newest + 1;
            if (newest >= *pSeqNum) {
                CBuffer* found = nullptr;
                for (CBuffer* buffer : m_FullBufList) {
                    if (buffer->GetSeqNum() >= *pSeqNum) {
                        found = buffer;
                        break;
                    }
                }
                *pSeqNum = found->GetSeqNum();
                const std::uint32_t length = found->GetDataLen();
                const std::uint32_t count = std::min(length, nSize);
                if (pDest && count) std::memcpy(pDest, found->GetData(), count);
                // Taking the newest buffer asks for the next one, so a steady reader finds it
                // waiting.
                if (!m_bReadPending && found == m_FullBufList.back()) PostReadRequest();
                return length;
            }
        }
        // The buffers held are still delivered; then nothing more will come.
        if (m_bFailed) return 0;
        if (!m_bReadPending) PostReadRequest();
        if (nTimeout == 0) return 0;
        DWORD wait = plat::kInfinite;
        if (nTimeout != plat::kInfinite) {
            const DWORD now = plat::GetTickCount();
            if (!haveDeadline) {
                deadline = now + nTimeout;
                haveDeadline = true;
            }
            if (now >= deadline || deadline - now > 86400000u) return 0;
            wait = deadline - now;
        }
        const std::uint64_t filled = m_nBuffersRead;
        // A buffer on its way is waited for running, without the lock the thread needs.
        lock.Unlock();
        const bool spun = m_ReadersSpin.Spin([&] { return m_nBuffersRead.load(std::memory_order_acquire) != filled || readsEnded(); });
        lock.Lock();
        if (spun) continue;
        const auto blocked = std::chrono::steady_clock::now();
        LockRef ref{m_Lock};
        const bool arrived =
            m_hDataReadyEvent.WaitFor(ref, wait, [&] { return m_nBuffersRead != filled || m_bFailed || readsEnded(); });
        if (!arrived) return 0;
        m_ReadersSpin.Learn(std::chrono::steady_clock::now() - blocked);
    }
}

// ---- Sends ---------------------------------------------------------------------------------------

bool CVFAdapter::WritePacket(const void* frame, std::uint32_t length) {
    return Send(L"WritePacket", L"WrenPackSendPacket", &WrenPackSendPacket, frame, length);
}

bool CVFAdapter::WriteMultiplePackets(const void* batch, std::uint32_t length, std::uint32_t* pnFramesSent) {
    return Send(L"WriteMultiplePackets", L"WrenPackSendManyPackets", &WrenPackSendManyPackets, batch, length, pnFramesSent);
}

bool CVFAdapter::Send(const wchar_t* operation, const wchar_t* driverCall, DriverSend send, const void* data, std::uint32_t length,
                      std::uint32_t* pnBatchFramesSent) {
    if (pnBatchFramesSent) *pnBatchFramesSent = 0;
    if (!m_hAdapter || !data || length == 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, operation, L"Invalid parameters");
    }
    const bool sent = send(m_hAdapter, data, length) != 0;
    if (pnBatchFramesSent) *pnBatchFramesSent = WrenPackGetBatchFramesSent();
    if (sent) return true;
    const auto [nErrno, code] = TakeDriverError();
    FailOpRc(nErrno, code, operation, L"%s failed", driverCall);
    // The host may have lowered the adapter's MTU: with the list read again, the interfaces
    // refuse the frames it no longer carries before they reach the driver. The pair stays.
    RefreshWPAdaptersList();
    return false;
}

// ---- Buffer sizes --------------------------------------------------------------------------------

bool CVFAdapter::SetAdapterBufferSize(int nBytes) {
    const auto size = static_cast<std::uint32_t>(nBytes);
    if (size < kMinAdapterBufferSize || size > kMaxAdapterBufferSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetAdapterBufferSize", L"Size %d outside of %dK - %dK range",
                      nBytes, kMinAdapterBufferSize / 1024, kMaxAdapterBufferSize / 1024);
    }
    plat::CSingleLock lock(m_Lock);
    if (WrenPackSetBuff(m_hAdapter, size)) {
        m_nAdapterBufferSize.store(size, std::memory_order_relaxed);
        return true;
    }
    const auto [nErrno, code] = TakeDriverError();
    lock.Unlock();
    return FailOpRc(nErrno, code, L"SetAdapterBufferSize", L"WrenPackSetBuff(%d) failed", nBytes);
}

bool CVFAdapter::SetPacketsBufferSize(CVFAdapterClient* pVF, std::uint32_t nBytes) {
    VF_ASSERT(pVF != nullptr);
    if (nBytes == 0 && pVF) nBytes = pVF->GetReadBufferSize();
    const bool report = pVF && pVF->ReportsChanges();
    if (report) {
        DebugTrace(L"** CVFAdapter(%s)::SetPacketsBufferSize: Requested DLL I/O buffer size = %u (%uK)\n", m_strMACAddr.c_str(),
                   nBytes, (nBytes + 1023) / 1024);
    }
    if (nBytes == 0 || nBytes < kMinPacketsBufferSize || nBytes > kMaxPacketsBufferSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetPacketsBufferSize", L"Invalid DLL I/O buffer size %u rejected",
                      nBytes);
    }
    plat::CSingleLock lock(m_Lock);
    const std::uint32_t size = std::max(nBytes, GetMaxVifnetBufferSize(pVF));
    if (size != m_nPacketsBufferSize) {
        if (report) {
            DebugTrace(L"** CVFAdapter(%s)::SetPacketsBufferSize: Adjusting DLL I/O buffer size to %u (%uK)\n",
                       m_strMACAddr.c_str(), size, (size + 1023) / 1024);
        }
        const bool resized = ResizePacketsBuffers(size);
        VF_ASSERT(resized);
    }
    return true;
}

std::uint32_t CVFAdapter::GetMaxVifnetBufferSize(CVFAdapterClient* pExcluded) {
    plat::CSingleLock lock(m_Lock);
    std::uint32_t largest = 0;
    for (CVFAdapterClient* pVF : m_VifnetPtrList) {
        if (pVF != pExcluded) largest = std::max(largest, pVF->GetReadBufferSize());
    }
    return largest ? largest : kMinPacketsBufferSize;
}

bool CVFAdapter::ResizePacketsBuffers(std::uint32_t nBytes) {
    if (nBytes == 0 || nBytes < kMinPacketsBufferSize || nBytes > kMaxPacketsBufferSize) {
        VF_ASSERT(false);
        return false;
    }
    plat::CSingleLock lock(m_Lock);
    if (nBytes == m_nPacketsBufferSize) return true;
    m_nPacketsBufferSize = nBytes;
    for (CBuffer* buffer : m_FreeBufList) {
        const bool resized = buffer->Resize(nBytes);
        VF_ASSERT(resized);
    }
    // A filled buffer holding more than the new size keeps its capacity and its data.
    for (CBuffer* buffer : m_FullBufList)
        buffer->Resize(nBytes);
    return true;
}

std::uint32_t CVFAdapter::GetPacketsBufferSize() {
    plat::CSingleLock lock(m_Lock);
    return m_nPacketsBufferSize;
}

Failure CVFAdapter::FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, false, L"** CVFAdapter(" + m_strMACAddr + L")", operation, format, args);
    va_end(args);
    return {};
}

Failure CVFAdapter::FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, true, L"** CVFAdapter(" + m_strMACAddr + L")", operation, format, args);
    va_end(args);
    return {};
}
