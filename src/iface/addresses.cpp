// The interface's two address tables (the guest's IPv4 addresses and the multicast MACs it
// joined) and the values that follow the guest's address unless set explicitly: its MAC, the
// netmask and the broadcast address.
#include <algorithm>
#include <cstring>

#include "host/mac.h"
#include "host/address_text.h"
#include "iface/vifnet.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

const std::uint8_t kMulticastPrefix[3] = {0x01, 0x00, 0x5E};

std::uint32_t Load(const std::uint8_t* addr) {
    std::uint32_t ip;
    std::memcpy(&ip, addr, 4);
    return ip;
}

bool IsNullOrBroadcast(std::uint32_t ip) { return ip == 0 || ip == 0xFFFFFFFFu; }

bool SameMAC(const vifnet32_sockaddr& a, const vifnet32_sockaddr& b) { return std::memcmp(a.sa_data, b.sa_data, 6) == 0; }

// Joins the items' texts with one blank between them.
template <typename List, typename Text>
std::wstring JoinTexts(const List& list, Text text) {
    std::wstring joined;
    for (const auto& item : list) {
        if (!joined.empty()) joined += L' ';
        joined += text(item);
    }
    return joined;
}

}  // namespace

// ---- Tarn virtual IP addresses ---------------------------------------------------------------------

bool CVifnet::AddTarnVirtIPAddr(const std::uint8_t* addr) {
    if (!addr) return FailNull(L"AddTarnVirtIPAddr");
    const std::uint32_t ip = Load(addr);
    if (IsNullOrBroadcast(ip)) {
        const std::wstring prefix = MessagePrefix(L"AddTarnVirtIPAddr");
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid NULL or broadcast IP address\n",
                     trace::Format(L"%s: IN_ADDR = %d.%d.%d.%d\n", prefix.c_str(), addr[0], addr[1], addr[2], addr[3])});
    }
    plat::CSingleLock lock(m_csIFace);
    auto it = std::find(m_TarnVirtIPAddrList.begin(), m_TarnVirtIPAddrList.end(), ip);
    if (it != m_TarnVirtIPAddrList.end()) {
        // Already known: it becomes the newest, silently.
        m_TarnVirtIPAddrList.erase(it);
        m_TarnVirtIPAddrList.push_back(ip);
        return true;
    }
    if (m_TarnVirtIPAddrList.size() >= kMaxTableEntries) {
        lock.Unlock();
        return FailOp(VF_ENOSPC, VF_ERROR_TOO_MANY_NAMES, L"AddTarnVirtIPAddr", L"Table is full (max=%d)", kMaxTableEntries);
    }
    const std::wstring old = FormatIPAddrList();
    m_TarnVirtIPAddrList.push_back(ip);
    if (ReportsChanges()) {
        DebugTrace(L"IP Address List modified for Vifnet interface %p:\n  old value=\"%s\"\n  new value=\"%s\"\n\n", this,
                   old.c_str(), FormatIPAddrList().c_str());
    }
    // Announced whether or not the interface is up; a failed announcement is not the add's.
    SendGratuitousARP(ip);
    return true;
}

bool CVifnet::DelTarnVirtIPAddr(const std::uint8_t* addr) {
    if (!addr) return FailNull(L"DelTarnVirtIPAddr");
    const std::uint32_t ip = Load(addr);
    plat::CSingleLock lock(m_csIFace);
    auto it = std::find(m_TarnVirtIPAddrList.begin(), m_TarnVirtIPAddrList.end(), ip);
    if (it == m_TarnVirtIPAddrList.end()) return true;
    const std::wstring old = FormatIPAddrList();
    m_TarnVirtIPAddrList.erase(it);
    if (ReportsChanges()) {
        DebugTrace(L"IP Address List modified for Vifnet interface %p:\n  old value=\"%s\"\n  new value=\"%s\"\n\n", this,
                   old.c_str(), FormatIPAddrList().c_str());
    }
    return true;
}

bool CVifnet::SetTarnVirtIPAddr(const vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"SetTarnVirtIPAddr");
    const std::wstring prefix = MessagePrefix(L"SetTarnVirtIPAddr");
    if (sin->sin_family != VIFNET32_AF_INET) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid address family specified:\n",
                     trace::Format(L"%s: sin_family = %02x\n", prefix.c_str(), sin->sin_family)});
    }
    const std::uint32_t ip = Load(sin->sin_addr);
    if (IsNullOrBroadcast(ip)) {
        const std::uint8_t* b = sin->sin_addr;
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid NULL or broadcast IP address\n",
                     trace::Format(L"%s: sin_addr = %d.%d.%d.%d\n", prefix.c_str(), b[0], b[1], b[2], b[3])});
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetTarnVirtIPAddr");
    const std::uint32_t old = GetFirstTarnVirtIPAddr();
    // The MAC first: adding the address announces it, and a peer must only ever learn the MAC
    // that the new address gives the guest.
    UpdateTarnVirtMACAddr(ip);
    const bool deleted = DelTarnVirtIPAddr(reinterpret_cast<const std::uint8_t*>(&old));
    VF_ASSERT(deleted);
    const bool added = AddTarnVirtIPAddr(sin->sin_addr);
    VF_ASSERT(added);
    if (ReportsChanges()) {
        DebugTrace(L"Tarn Virtual IP Address modified for Vifnet interface %p:\n  old value=%s, new value=%s\n  all=%s\n\n", this,
                   IPText(old).c_str(), IPText(ip).c_str(), FormatIPAddrList().c_str());
    }
    UpdateIFaceNetMask(ip);
    return true;
}

bool CVifnet::GetTarnVirtIPAddr(vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"GetTarnVirtIPAddr");
    const std::uint32_t ip = GetFirstTarnVirtIPAddr();
    sin->sin_family = VIFNET32_AF_INET;
    std::memcpy(sin->sin_addr, &ip, 4);
    return true;
}

bool CVifnet::QueryTarnVirtIPAddrs(std::uint8_t* addrs) {
    if (!addrs) return FailNull(L"QueryTarnVirtIPAddrs");
    std::size_t count = 0;
    {
        plat::CSingleLock lock(m_csIFace);
        for (std::uint32_t ip : m_TarnVirtIPAddrList)
            std::memcpy(addrs + 4 * count++, &ip, 4);
    }
    std::memset(addrs + 4 * count, 0, 4);
    return true;
}

std::uint32_t CVifnet::GetFirstTarnVirtIPAddr() {
    plat::CSingleLock lock(m_csIFace);
    return m_TarnVirtIPAddrList.empty() ? 0 : m_TarnVirtIPAddrList.front();
}

std::wstring CVifnet::FormatIPAddrList() {
    plat::CSingleLock lock(m_csIFace);
    return JoinTexts(m_TarnVirtIPAddrList, IPText);
}

// ---- Multicast MACs ------------------------------------------------------------------------------------

bool CVifnet::AddMulticastAddr(const vifnet32_sockaddr* sa) {
    if (!sa) return FailNull(L"AddMulticastAddr");
    if (std::memcmp(sa->sa_data, kMulticastPrefix, 3) != 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"AddMulticastAddr", L"Not a multicast MAC");
    }
    plat::CSingleLock lock(m_csIFace);
    auto same = [sa](const vifnet32_sockaddr& entry) { return SameMAC(entry, *sa); };
    if (std::any_of(m_MulticastList.begin(), m_MulticastList.end(), same)) {
        lock.Unlock();
        return FailOp(VF_EEXIST, VF_ERROR_ALREADY_EXISTS, L"AddMulticastAddr", L"MAC already in table");
    }
    if (m_MulticastList.size() >= kMaxTableEntries) {
        lock.Unlock();
        return FailOp(VF_ENOSPC, VF_ERROR_TOO_MANY_NAMES, L"AddMulticastAddr", L"Table is full (max=%d)", kMaxTableEntries);
    }
    const std::wstring old = FormatMulticastList();
    m_MulticastList.push_back(*sa);
    if (ReportsChanges()) {
        DebugTrace(L"Multicast List modified for Vifnet interface %p:\n  old value=\"%s\"\n  new value=\"%s\"\n\n", this,
                   old.c_str(), FormatMulticastList().c_str());
    }
    return true;
}

bool CVifnet::DelMulticastAddr(const vifnet32_sockaddr* sa) {
    if (!sa) return FailNull(L"DelMulticastAddr");
    if (std::memcmp(sa->sa_data, kMulticastPrefix, 3) != 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"DelMulticastAddr", L"Not a multicast MAC");
    }
    plat::CSingleLock lock(m_csIFace);
    auto it = std::find_if(m_MulticastList.begin(), m_MulticastList.end(),
                           [sa](const vifnet32_sockaddr& entry) { return SameMAC(entry, *sa); });
    if (it == m_MulticastList.end()) {
        lock.Unlock();
        return FailOp(VF_ENOENT, VF_ERROR_FILE_NOT_FOUND, L"DelMulticastAddr", L"MAC not in table");
    }
    const std::wstring old = FormatMulticastList();
    m_MulticastList.erase(it);
    if (ReportsChanges()) {
        DebugTrace(L"Multicast List modified for Vifnet interface %p:\n  old value=\"%s\"\n  new value=\"%s\"\n\n", this,
                   old.c_str(), FormatMulticastList().c_str());
    }
    return true;
}

std::wstring CVifnet::FormatMulticastList() {
    plat::CSingleLock lock(m_csIFace);
    return JoinTexts(m_MulticastList, [](const vifnet32_sockaddr& sa) { return MACText(sa.sa_data); });
}

// ---- Automatic updates -----------------------------------------------------------------------------

void CVifnet::UpdateTarnVirtMACAddr(std::uint32_t ipAddr) {
    plat::CSingleLock lock(m_csIFace);
    if (m_bTarnVirtMACAddrSet) return;
    const std::wstring old = MACText(m_TarnVirtMACAddr);
    BuildTarnIfaceMAC(m_TarnVirtMACAddr, reinterpret_cast<const std::uint8_t*>(&ipAddr));
    if (ReportsChanges()) {
        DebugTrace(L"Tarn Virtual MAC Address auto-updated for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   old.c_str(), MACText(m_TarnVirtMACAddr).c_str());
    }
}

bool CVifnet::IsInHostSubnet(std::uint32_t ipAddr) {
    return (ipAddr & m_HostSubnetMask) == (m_HostPhysIPAddr & m_HostSubnetMask);
}

void CVifnet::UpdateIFaceNetMask(std::uint32_t ipAddr) {
    plat::CSingleLock lock(m_csIFace);
    if (m_bIFaceNetMaskSet || !IsInHostSubnet(ipAddr)) return;
    const std::uint32_t old = m_IFaceNetMask;
    m_IFaceNetMask = m_HostSubnetMask;
    if (ReportsChanges()) {
        DebugTrace(L"Tarn Virtual Network Mask auto-updated for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   IPText(old).c_str(), IPText(m_IFaceNetMask).c_str());
    }
    UpdateIFaceBroadcast(ipAddr);
}

void CVifnet::UpdateIFaceBroadcast(std::uint32_t ipAddr) {
    plat::CSingleLock lock(m_csIFace);
    if (m_bIFaceBroadcastSet) return;
    const std::uint32_t old = m_IFaceBroadcast;
    m_IFaceBroadcast = (ipAddr & m_IFaceNetMask) | ~m_IFaceNetMask;
    if (ReportsChanges()) {
        DebugTrace(L"Tarn Virtual Broadcast IP Addr auto-updated for Vifnet interface %p:\n  old value=%s, new value=%s\n\n",
                   this, IPText(old).c_str(), IPText(m_IFaceBroadcast).c_str());
    }
}
