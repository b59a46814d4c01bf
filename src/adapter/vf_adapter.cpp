#include "adapter/vf_adapter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "iface/vifnet.h"
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
    VF_ASSERT(m_hDataReadyEvent.Valid());
    VF_ASSERT(m_hStopEvent.Valid());
}

int CVFAdapter::AddVifnet(CVifnet* pVF) {
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

int CVFAdapter::RemoveVifnet(CVifnet* pVF) {
    VF_ASSERT(pVF != nullptr);
    plat::CSingleLock lock(m_Lock);
    auto it = std::find(m_VifnetPtrList.begin(), m_VifnetPtrList.end(), pVF);
    if (it != m_VifnetPtrList.end()) m_VifnetPtrList.erase(it);
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

// The reader thread comes with the data plane. Until then binding only records that a reader
// should run, so that the bind and unbind rules (start with the first bound interface, stop with
// the last, recycle the filled buffers) already hold.
bool CVFAdapter::StartReaderThread() {
    plat::CSingleLock lock(m_Lock);
    if (m_bReaderRunning) return true;
    VF_ASSERT(m_hReadRequestEvent.Valid() && m_hDataReadyEvent.Valid() && m_hStopEvent.Valid());
    m_nNextBufSeqNum = 0;
    m_bReadPending = false;
    m_bReaderRunning = true;
    return true;
}

void CVFAdapter::StopReaderThread() {
    plat::CSingleLock lock(m_Lock);
    if (!m_bReaderRunning) return;
    m_bStopping = true;
    m_FreeBufList.splice(m_FreeBufList.end(), m_FullBufList);
    m_bReaderRunning = false;
    m_bStopping = false;
}

bool CVFAdapter::IsReaderRunning() {
    plat::CSingleLock lock(m_Lock);
    return m_bReaderRunning;
}

// ---- Buffer sizes --------------------------------------------------------------------------------

bool CVFAdapter::SetAdapterBufferSize(int nBytes) {
    const auto size = static_cast<std::uint32_t>(nBytes);
    if (size < kMinAdapterBufferSize || size > kMaxAdapterBufferSize) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    L"** CVFAdapter(%s)::SetAdapterBufferSize: Size %d outside of %dK - %dK range\n", m_strMACAddr.c_str(),
                    nBytes, kMinAdapterBufferSize / 1024, kMaxAdapterBufferSize / 1024);
    }
    plat::CSingleLock lock(m_Lock);
    if (WrenPackSetBuff(m_hAdapter, size)) {
        m_nAdapterBufferSize.store(size, std::memory_order_relaxed);
        return true;
    }
    const int nErrno = plat::GetErrno();
    plat::TakeDriverLastError();
    const DWORD code = plat::GetLastErrorCode();
    lock.Unlock();
    return Fail(nErrno, code, L"** CVFAdapter(%s)::SetAdapterBufferSize: WrenPackSetBuff(%d) failed; rc=%d: %s\n",
                m_strMACAddr.c_str(), nBytes, code, FormatLastError(code).c_str());
}

bool CVFAdapter::SetPacketsBufferSize(CVifnet* pVF, std::uint32_t nBytes) {
    VF_ASSERT(pVF != nullptr);
    if (nBytes == 0 && pVF) nBytes = pVF->GetReadBufferSize();
    const bool report = pVF && pVF->ReportsChanges();
    if (report) {
        DebugTrace(L"** CVFAdapter(%s)::SetPacketsBufferSize: Requested DLL I/O buffer size = %u (%uK)\n", m_strMACAddr.c_str(),
                   nBytes, (nBytes + 1023) / 1024);
    }
    if (nBytes == 0 || nBytes < kMinPacketsBufferSize || nBytes > kMaxPacketsBufferSize) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    L"** CVFAdapter(%s)::SetPacketsBufferSize: Invalid DLL I/O buffer size %u rejected\n", m_strMACAddr.c_str(),
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

std::uint32_t CVFAdapter::GetMaxVifnetBufferSize(CVifnet* pExcluded) {
    plat::CSingleLock lock(m_Lock);
    std::uint32_t largest = 0;
    for (CVifnet* pVF : m_VifnetPtrList) {
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
