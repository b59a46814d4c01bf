#include "host/adapter_list.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "host/driver.h"
#include "platform/platform.h"
#include "trace/failure.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

// The process-wide list: one allocation of g_nAdapters consecutive records chained by the
// driver through pNext. Built and freed under the list's own lock; read without it once
// built, since it never changes until the library unloads. Reading it without the lock also
// keeps the interface lock (held by the address updates that look up the host's netmask) from
// ever waiting for it.
std::atomic<ADAPTER_INFO_LIST_ENTRY*> g_pAdapters{nullptr};
std::atomic<std::uint32_t> g_nAdapters{0};

// Never destroyed: the process's shut-down hook frees the list after static objects may be gone.
plat::CCriticalSection& ListLock() {
    static plat::CCriticalSection* const lock = new plat::CCriticalSection(4000);
    return *lock;
}

// Publishes a built list: the count first, so a reader that sees the list sees its count.
void Publish(ADAPTER_INFO_LIST_ENTRY* list, std::uint32_t count) {
    g_nAdapters.store(count, std::memory_order_relaxed);
    g_pAdapters.store(list, std::memory_order_release);
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
    Publish(entry, 1);
}

// A list call of the driver failed: report it (without the lock: the caller's output function
// runs here) and hand the driver's error pair to the calling thread.
void ReportListCallFailure(int call, int nErrno, DWORD dwError) {
    DebugTrace(L"** InitWPAdaptersList: WrenPackGetAdaptersList#%d failed; rc=%d: %s\n", call, dwError,
               FormatLastError(dwError).c_str());
    RaiseError(nErrno, dwError);
}

}  // namespace

bool InitWPAdaptersList() {
    plat::CCriticalSection& lock = ListLock();
    lock.Enter();
    if (g_pAdapters.load(std::memory_order_relaxed)) {
        VF_ASSERT(g_nAdapters.load(std::memory_order_relaxed) != 0);
        lock.Leave();
        return true;
    }
    std::uint32_t bytes = 0;
    WrenPackGetAdaptersList(nullptr, &bytes);
    if (bytes == 0) {
        const auto [nErrno, dwError] = TakeDriverError();
        lock.Leave();
        ReportListCallFailure(1, nErrno, dwError);
        lock.Enter();
        if (!g_pAdapters.load(std::memory_order_relaxed)) InstallStandByList();
        lock.Leave();
        return false;
    }
    std::uint32_t count = (bytes + WP_ADAPTER_ENTRY_SIZE - 1) / WP_ADAPTER_ENTRY_SIZE;
    if (count == 0) count = 1;
    auto* list = new (std::nothrow) ADAPTER_INFO_LIST_ENTRY[count]();
    if (!list) {
        lock.Leave();
        DebugTrace(L"** InitWPAdaptersList: new ADAPTER_INFO_LIST_ENTRY [%d] failed; rc=%d: %s\n", count,
                   VF_ERROR_NOT_ENOUGH_MEMORY, FormatLastError(VF_ERROR_NOT_ENOUGH_MEMORY).c_str());
        RaiseError(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    bytes = count * WP_ADAPTER_ENTRY_SIZE;
    if (!WrenPackGetAdaptersList(list, &bytes)) {
        const auto [nErrno, dwError] = TakeDriverError();
        delete[] list;
        lock.Leave();
        ReportListCallFailure(2, nErrno, dwError);
        return false;
    }
    Publish(list, count);
    lock.Leave();
    return true;
}

void GetWPAdaptersList(ADAPTER_INFO_LIST_ENTRY** ppFirst, std::uint32_t* pnCount) {
    if (ppFirst) *ppFirst = nullptr;
    if (pnCount) *pnCount = 0;
    ADAPTER_INFO_LIST_ENTRY* list = g_pAdapters.load(std::memory_order_acquire);
    if (!list) {
        InitWPAdaptersList();
        list = g_pAdapters.load(std::memory_order_acquire);
    }
    if (ppFirst) *ppFirst = list;
    if (pnCount) *pnCount = list ? g_nAdapters.load(std::memory_order_relaxed) : 0;
}

void FreeWPAdaptersList() {
    plat::CSingleLock lock(ListLock());
    ADAPTER_INFO_LIST_ENTRY* list = g_pAdapters.exchange(nullptr, std::memory_order_acq_rel);
    g_nAdapters.store(0, std::memory_order_relaxed);
    delete[] list;
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
