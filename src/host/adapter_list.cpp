#include "host/adapter_list.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/driver.h"
#include "platform/platform.h"
#include "trace/failure.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

// The least time between two re-reads of the host's adapters, in ms: a re-read asks the
// driver for every adapter of the host, which takes system calls by the dozen.
constexpr DWORD kRereadInterval = 1000;

// Builds, re-reads and frees the list, and is held across the driver's list calls and nothing
// else: it takes no other lock, so it may be taken under the application lock (an open) and
// under an interface lock (a send). Never destroyed: the library's shut-down frees the lists
// under it.
plat::CCriticalSection& ListLock() {
    static auto* const lock = new plat::CCriticalSection(4000);
    return *lock;
}

// The process-wide list: one allocation of consecutive records chained by the driver through
// pNext. Readers take no lock (which also keeps an interface lock, held by the address updates
// that look up the host's netmask, from ever waiting): a re-read publishes a new list and keeps
// the one it replaces, which a reader may still walk or point into, until the library unloads.
// Only a list that differs from the one in force is published, so the lists kept are one per
// change of the host's adapters, not one per re-read.
std::atomic<ADAPTER_INFO_LIST_ENTRY*> g_pAdapters{nullptr};
std::vector<ADAPTER_INFO_LIST_ENTRY*> g_RetiredLists;  // under ListLock()
// Counts the lists published, so that an adapter notices a new one with a single load.
std::atomic<std::uint32_t> g_nListGeneration{0};
bool g_bReread = false;  // under ListLock(), with the time of the last re-read
DWORD g_dwLastReread = 0;

void Publish(ADAPTER_INFO_LIST_ENTRY* list) {
    g_pAdapters.store(list, std::memory_order_release);
    g_nListGeneration.fetch_add(1, std::memory_order_acq_rel);
}

// The driver could not list adapters: one zeroed record named "dummy" stands in, so every
// lookup still has a record to fall back on.
void InstallStandByList() {
    auto* entry = new (std::nothrow) ADAPTER_INFO_LIST_ENTRY[1]();
    if (!entry) return;
    entry->nEntrySize = WP_ADAPTER_ENTRY_SIZE;
    entry->nIfIndex = 0xFFFFFFFFu;
    const char16_t dummy[] = u"dummy";
    std::memcpy(entry->szAdapterName, dummy, sizeof dummy);
    std::memcpy(entry->szConnectionName, dummy, sizeof dummy);
    std::memcpy(entry->szDescription, dummy, sizeof dummy);
    Publish(entry);
}

// A list call of the driver failed: report it (without the lock: the caller's output function
// runs here) and hand the driver's error pair to the calling thread.
void ReportListCallFailure(int call, int nErrno, DWORD dwError) {
    DebugTrace(L"** InitWPAdaptersList: WrenPackGetAdaptersList#%d failed; rc=%d: %s\n", call, dwError,
               FormatLastError(dwError).c_str());
    RaiseError(nErrno, dwError);
}

// One reading of the driver's list, ListLock() held: the new list, or null and what failed
// (the number of the driver call, or 0 when the records could not be allocated).
struct ListRead {
    ADAPTER_INFO_LIST_ENTRY* list = nullptr;
    std::uint32_t count = 0;
    int failedCall = 0;
    int nErrno = 0;
    DWORD dwError = 0;
    void TakeDriverError() {
        const auto [e, w] = ::TakeDriverError();
        nErrno = e;
        dwError = w;
    }
};

ListRead ReadDriverList() {
    ListRead r;
    std::uint32_t bytes = 0;
    WrenPackGetAdaptersList(nullptr, &bytes);
    if (bytes == 0) {
        r.failedCall = 1;
        r.TakeDriverError();
        return r;
    }
    r.count = (bytes + WP_ADAPTER_ENTRY_SIZE - 1) / WP_ADAPTER_ENTRY_SIZE;
    if (r.count == 0) r.count = 1;
    auto* list = new (std::nothrow) ADAPTER_INFO_LIST_ENTRY[r.count]();
    if (!list) return r;
    bytes = r.count * WP_ADAPTER_ENTRY_SIZE;
    if (!WrenPackGetAdaptersList(list, &bytes)) {
        r.failedCall = 2;
        r.TakeDriverError();
        delete[] list;
        return r;
    }
    r.list = list;
    return r;
}

// Whether two lists hold the same records (their chain pointers aside).
bool SameRecords(const ADAPTER_INFO_LIST_ENTRY* a, const ADAPTER_INFO_LIST_ENTRY* b) {
    constexpr std::size_t kAfterNext = offsetof(ADAPTER_INFO_LIST_ENTRY, pNext) + sizeof(void*);
    for (; a && b; a = a->pNext, b = b->pNext) {
        if (std::memcmp(a, b, offsetof(ADAPTER_INFO_LIST_ENTRY, pNext)) != 0 ||
            std::memcmp(reinterpret_cast<const std::uint8_t*>(a) + kAfterNext, reinterpret_cast<const std::uint8_t*>(b) + kAfterNext,
                        sizeof *a - kAfterNext) != 0)
            return false;
    }
    return !a && !b;
}

}  // namespace

bool InitWPAdaptersList() {
    plat::CCriticalSection& lock = ListLock();
    lock.Enter();
    if (g_pAdapters.load(std::memory_order_relaxed)) {
        lock.Leave();
        return true;
    }
    const ListRead r = ReadDriverList();
    if (r.list) {
        Publish(r.list);
        lock.Leave();
        return true;
    }
    if (r.failedCall == 1) InstallStandByList();
    lock.Leave();
    if (r.failedCall) {
        ReportListCallFailure(r.failedCall, r.nErrno, r.dwError);
    } else {
        DebugTrace(L"** InitWPAdaptersList: new ADAPTER_INFO_LIST_ENTRY [%d] failed; rc=%d: %s\n", r.count,
                   VF_ERROR_NOT_ENOUGH_MEMORY, FormatLastError(VF_ERROR_NOT_ENOUGH_MEMORY).c_str());
        RaiseError(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY);
    }
    return false;
}

bool RefreshWPAdaptersList() {
    if (!g_pAdapters.load(std::memory_order_acquire)) return InitWPAdaptersList();
    // A re-read that fails keeps the list in force and leaves the caller's error pair alone:
    // the callers are on their way to report a failure of their own, or to succeed.
    const int nErrno = plat::GetErrno();
    const DWORD dwError = plat::GetLastErrorCode();
    bool changed = false;
    {
        plat::CSingleLock lock(ListLock());
        const DWORD now = plat::GetTickCount();
        if (g_bReread && now - g_dwLastReread < kRereadInterval) return false;
        g_bReread = true;
        g_dwLastReread = now;
        ADAPTER_INFO_LIST_ENTRY* current = g_pAdapters.load(std::memory_order_relaxed);
        const ListRead r = ReadDriverList();
        if (r.list && current && !SameRecords(r.list, current)) {
            try {
                g_RetiredLists.push_back(current);
                Publish(r.list);
                changed = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!changed) delete[] r.list;
    }
    RaiseError(nErrno, dwError);
    return changed;
}

std::uint32_t GetWPAdaptersListGeneration() { return g_nListGeneration.load(std::memory_order_acquire); }

void GetWPAdaptersList(ADAPTER_INFO_LIST_ENTRY** ppFirst, std::uint32_t* pnCount) {
    if (ppFirst) *ppFirst = nullptr;
    if (pnCount) *pnCount = 0;
    ADAPTER_INFO_LIST_ENTRY* list = g_pAdapters.load(std::memory_order_acquire);
    if (!list) {
        InitWPAdaptersList();
        list = g_pAdapters.load(std::memory_order_acquire);
    }
    if (ppFirst) *ppFirst = list;
    // Counted on the chain: the list may be replaced meanwhile, and this one is what was read.
    if (pnCount) {
        for (const auto* p = list; p; p = p->pNext)
            ++*pnCount;
    }
}

void FreeWPAdaptersList() {
    plat::CSingleLock lock(ListLock());
    delete[] g_pAdapters.exchange(nullptr, std::memory_order_acq_rel);
    for (ADAPTER_INFO_LIST_ENTRY* list : g_RetiredLists)
        delete[] list;
    g_RetiredLists.clear();
    g_bReread = false;
    g_nListGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void GetDefaultWPAdapterInfo(ADAPTER_INFO_LIST_ENTRY* pInfo) {
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first);
    VF_ASSERT(first != nullptr);
    if (!first) {
        std::memset(pInfo, 0, sizeof *pInfo);
        return;
    }
    const ADAPTER_INFO_LIST_ENTRY* chosen = first;
    std::wstring setting = plat::ProfileGetString(L"Settings", L"DefaultIFace", L"");
    if (!setting.empty()) {
        std::uint32_t ip = 0;
        std::uint8_t mac[6];
        const ADAPTER_INFO_LIST_ENTRY* match = nullptr;
        if (ParseIPAddress(setting, ip, false)) {
            match = FindWPAdapterByIP(plat::HostToNet32(ip));
        } else if (ParseMACAddress(setting, mac)) {
            match = FindWPAdapterByMAC(mac);
        } else {
            DebugTrace(L"** GetDefaultWPAdapterInfo: WARNING: DefaultIFace \"%s\" is neither an IP nor a MAC address!\n",
                       setting.c_str());
        }
        if (match) chosen = match;
    }
    std::memcpy(pInfo, chosen, sizeof *pInfo);
    pInfo->pNext = nullptr;
}

const ADAPTER_INFO_LIST_ENTRY* FindWPAdapterByIP(std::uint32_t ipAddr) {
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first);
    VF_ASSERT(first != nullptr);
    for (auto* p = first; p; p = p->pNext) {
        if (p->IPAddr == ipAddr) return p;
    }
    return nullptr;
}

bool SameWPAdapterName(const WP_CHAR16* a, const WP_CHAR16* b) {
    for (std::size_t i = 0; i < WP_ADAPTER_NAME_CHARS; ++i) {
        if (a[i] != b[i]) return false;
        if (!a[i]) break;
    }
    return true;
}

const ADAPTER_INFO_LIST_ENTRY* FindWPAdapterByName(const WP_CHAR16* name) {
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first);
    for (auto* p = first; p; p = p->pNext) {
        if (SameWPAdapterName(p->szAdapterName, name)) return p;
    }
    return nullptr;
}

const ADAPTER_INFO_LIST_ENTRY* FindWPAdapterByMAC(const std::uint8_t mac[6]) {
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first);
    VF_ASSERT(first != nullptr);
    for (auto* p = first; p; p = p->pNext) {
        if (std::memcmp(p->MACAddr, mac, 6) == 0) return p;
    }
    return nullptr;
}

std::uint32_t GetWPAdapterIPMask(std::uint32_t ipAddr) {
    const ADAPTER_INFO_LIST_ENTRY* entry = FindWPAdapterByIP(ipAddr);
    return entry ? entry->IPMask : 0;
}

std::wstring WPText(const WP_CHAR16* text, std::size_t max) {
    std::wstring out;
    for (std::size_t i = 0; i < max && text[i]; ++i)
        out.push_back(static_cast<wchar_t>(text[i]));
    return out;
}

const wchar_t* GetNdisMediumName(std::uint32_t nMedium) {
    static const wchar_t* const kNames[] = {
        L"NdisMedium802_3", L"NdisMedium802_5",     L"NdisMediumFddi",        L"NdisMediumWan",  L"NdisMediumLocalTalk",
        L"NdisMediumDix",   L"NdisMediumArcnetRaw", L"NdisMediumArcnet878_2", L"NdisMediumAtm",  L"NdisMediumWirelessWan",
        L"NdisMediumIrda",  L"NdisMediumBpc",       L"NdisMediumCoWan",       L"NdisMedium1394", L"NdisMediumMax",
    };
    return nMedium < sizeof kNames / sizeof kNames[0] ? kNames[nMedium] : L"NdisMediumUnknown";
}

const char* GetDefaultIFace() {
    static char s_szDefaultIFace[32];
    // The host's adapters may have changed since they were read (another address, an adapter
    // come or gone): a caller asking which one is the default gets the current answer.
    RefreshWPAdaptersList();
    ADAPTER_INFO_LIST_ENTRY info;
    GetDefaultWPAdapterInfo(&info);
    std::wstring text;
    FormatPhysAddr(text, info.MACAddr, 6, L'-');
    std::string narrow = plat::ToNarrow(text);
    std::strncpy(s_szDefaultIFace, narrow.c_str(), 31);
    s_szDefaultIFace[31] = '\0';
    RaiseError(0, 0);
    return s_szDefaultIFace;
}
