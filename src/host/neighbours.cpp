// The host's neighbours as the library offers them (see neighbours.h). Failure messages name the
// application object: callers reach these services through it, and read its name in the logs.
#include "host/neighbours.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "host/adapter_list.h"
#include "host/address_text.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr DWORD kFirstTableBytes = 16384;

struct FreeTable {
    void operator()(plat::IpNetTable* table) const { ::operator delete(table); }
};
using CIpNetTableCopy = std::unique_ptr<plat::IpNetTable, FreeTable>;

std::uint32_t Load32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

// Rows the system marked invalid, and rows of other link kinds, say nothing about a MAC.
bool IsUsableRow(const plat::IpNetRow& row) { return row.dwType != plat::kIpNetTypeInvalid && row.dwPhysAddrLen == 6; }

}  // namespace

plat::IpNetTable* CNeighbours::GetCopyOfWinIpNetTable() {
    constexpr DWORD kUnit = sizeof(plat::IpNetTable);
    DWORD bytes = kFirstTableBytes;
    for (;;) {
        const DWORD rounded = std::max<DWORD>(kUnit, (bytes + kUnit - 1) / kUnit * kUnit);
        auto* table = static_cast<plat::IpNetTable*>(::operator new(rounded, std::nothrow));
        if (!table) return Fail(VF_ENOMEM, VF_ERROR_OUTOFMEMORY, nullptr);
        std::memset(table, 0, rounded);
        DWORD size = rounded;
        const DWORD rc = plat::GetIpNetTable(table, &size, false);
        if (rc == VF_ERROR_SUCCESS || rc == VF_ERROR_NO_DATA) return table;
        ::operator delete(table);
        if (rc == VF_ERROR_INSUFFICIENT_BUFFER || rc == VF_ERROR_BUFFER_OVERFLOW) {
            // The size needed, which can only have grown; a system that names no larger size
            // still gets a larger buffer, so the loop always moves.
            bytes = size > rounded ? size : rounded * 2;
            continue;
        }
        return FailOpRc(VF_EINVAL, rc, L"GetCopyOfWinIpNetTable", L"GetIpNetTable failed");
    }
}

DWORD CNeighbours::GetBestIfIndex(std::uint32_t ipAddr) {
    ADAPTER_INFO_LIST_ENTRY* first = nullptr;
    GetWPAdaptersList(&first);
    for (const ADAPTER_INFO_LIST_ENTRY* p = first; p; p = p->pNext) {
        if (p->nIfIndex != 0 && p->IPAddr == ipAddr) return p->nIfIndex;
    }
    DWORD index = 0;
    if (plat::GetBestRoute(ipAddr, 0, &index) == VF_ERROR_SUCCESS && index != 0 && !IsLoopbackIfIndex(index)) return index;
    index = 0;
    if (plat::GetBestInterface(ipAddr, &index) == VF_ERROR_SUCCESS && index != 0 && !IsLoopbackIfIndex(index)) return index;
    ADAPTER_INFO_LIST_ENTRY info;
    GetDefaultWPAdapterInfo(&info);
    return info.nIfIndex;
}

bool CNeighbours::IsLoopbackIfIndex(DWORD ifIndex) {
    DWORD type = 0;
    return plat::GetIfType(ifIndex, &type) == VF_ERROR_SUCCESS && type == plat::kIfTypeSoftwareLoopback;
}

Failure CNeighbours::FailParameters(const wchar_t* operation) {
    return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, operation, L"Invalid parameters from process %08.8X",
                  plat::GetCurrentProcessId());
}

// The row of `ipAddr` on the interface that reaches it, a static one for `macAddr` if given.
DWORD CNeighbours::EditTableRow(const std::uint8_t* ipAddr, const std::uint8_t* macAddr, DWORD (*edit)(const plat::IpNetRow*)) {
    plat::IpNetRow row{};
    plat::CSingleLock lock(m_csTable);
    row.dwAddr = Load32(ipAddr);
    row.dwIndex = GetBestIfIndex(row.dwAddr);
    if (macAddr) {
        row.dwPhysAddrLen = 6;
        std::memcpy(row.bPhysAddr, macAddr, 6);
        row.dwType = plat::kIpNetTypeStatic;
    }
    return edit(&row);
}

bool CNeighbours::SetARPTableEntry(const std::uint8_t* ipAddr, const std::uint8_t* macAddr) {
    if (!ipAddr || !macAddr) return FailParameters(L"SetARPTableEntry");
    const DWORD rc = EditTableRow(ipAddr, macAddr, plat::SetIpNetEntry);
    if (rc == VF_ERROR_SUCCESS) return true;
    return FailOpRc(VF_EINVAL, rc,
                    trace::Format(L"SetARPTableEntry(%s,%s)", IPText(Load32(ipAddr)).c_str(), MACText(macAddr).c_str()),
                    L"SetIpNetEntry failed");
}

bool CNeighbours::DelARPTableEntry(const std::uint8_t* ipAddr) {
    if (!ipAddr) return FailParameters(L"DelARPTableEntry");
    const DWORD rc = EditTableRow(ipAddr, nullptr, plat::DeleteIpNetEntry);
    if (rc == VF_ERROR_SUCCESS || rc == VF_ERROR_NO_MORE_ITEMS) return true;
    return FailOpRc(VF_EINVAL, rc, trace::Format(L"DelARPTableEntry(%s)", IPText(Load32(ipAddr)).c_str()),
                    L"DeleteIpNetEntry failed");
}

bool CNeighbours::GetMACAddrForIP(const std::uint8_t* ipAddr, std::uint8_t* macAddr) {
    if (!ipAddr || !macAddr) return FailParameters(L"GetMACAddrForIP");
    std::memset(macAddr, 0, 6);
    const std::uint32_t ip = Load32(ipAddr);
    const int known = FindKnownMAC(ip, macAddr);
    if (known != 0) return known > 0;

    // Last, the network itself: this may wait for an answer, so no lock is held.
    std::uint8_t answer[6] = {};
    DWORD length = sizeof answer;
    if (plat::SendARP(ip, 0, answer, &length) == VF_ERROR_SUCCESS && length == 6) {
        std::memcpy(macAddr, answer, 6);
        return true;
    }
    return Fail(VF_ENOENT, VF_ERROR_NOT_FOUND, nullptr);
}

bool CNeighbours::FindMACAddrForIP(std::uint32_t ipAddr, std::uint8_t* macAddr) {
    std::memset(macAddr, 0, 6);
    const int known = FindKnownMAC(ipAddr, macAddr);
    if (known == 0) return Fail(VF_ENOENT, VF_ERROR_NOT_FOUND, nullptr);
    return known > 0;
}

int CNeighbours::FindKnownMAC(std::uint32_t ip, std::uint8_t* macAddr) {
    if (const ADAPTER_INFO_LIST_ENTRY* adapter = FindWPAdapterByIP(ip)) {
        std::memcpy(macAddr, adapter->MACAddr, 6);
        return 1;
    }

    {
        CIpNetTableCopy table(GetCopyOfWinIpNetTable());
        if (!table) return -1;
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const plat::IpNetRow& row = table->table[i];
            if (IsUsableRow(row) && row.dwAddr == ip) {
                std::memcpy(macAddr, row.bPhysAddr, 6);
                return 1;
            }
        }
    }

    return m_Guests.FindGuestMAC(ip, macAddr) ? 1 : 0;
}

bool CNeighbours::GetIPAddrForMAC(std::uint8_t* ipAddr, const std::uint8_t* macAddr) {
    if (!ipAddr || !macAddr) return FailParameters(L"GetIPAddrForMAC");
    std::memset(ipAddr, 0, 4);

    if (const ADAPTER_INFO_LIST_ENTRY* adapter = FindWPAdapterByMAC(macAddr)) {
        std::memcpy(ipAddr, &adapter->IPAddr, 4);
        return true;
    }

    {
        CIpNetTableCopy table(GetCopyOfWinIpNetTable());
        if (!table) return false;
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const plat::IpNetRow& row = table->table[i];
            if (IsUsableRow(row) && std::memcmp(row.bPhysAddr, macAddr, 6) == 0) {
                std::memcpy(ipAddr, &row.dwAddr, 4);
                return true;
            }
        }
    }

    std::uint32_t guestIP;
    if (m_Guests.FindGuestIP(macAddr, &guestIP)) {
        std::memcpy(ipAddr, &guestIP, 4);
        return true;
    }
    return Fail(VF_ENOENT, VF_ERROR_NOT_FOUND, nullptr);
}

bool CNeighbours::DelRARPTableEntry(const std::uint8_t* macAddr) {
    if (!macAddr) return FailParameters(L"DelRARPTableEntry");
    std::uint8_t ipAddr[4];
    if (!GetIPAddrForMAC(ipAddr, macAddr)) {
        // Nothing to delete is not a failure; the not-found pair stays with the thread.
        return plat::GetLastErrorCode() == VF_ERROR_NOT_FOUND;
    }
    return DelARPTableEntry(ipAddr);
}

Failure CNeighbours::FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, false, L"** CVifnet32App", operation, format, args);
    va_end(args);
    return {};
}

Failure CNeighbours::FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, true, L"** CVifnet32App", operation, format, args);
    va_end(args);
    return {};
}
