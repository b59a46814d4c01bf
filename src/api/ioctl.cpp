// The interface-control dispatcher: checks a request, finds the interface it is meant for and
// hands it the request record.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "adapter/vf_adapter.h"
#include "app/vifnet32_app.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

enum class Target { Unknown, Descriptor, Name, None };

Target Classify(std::uint32_t code) {
    switch (code) {
        case VIFNET32_SIOCGIFNAME:
            return Target::Descriptor;
        case VIFNET32_SIOCGIFFLAGS:
        case VIFNET32_SIOCSIFFLAGS:
        case VIFNET32_SIOCGIFADDR:
        case VIFNET32_SIOCSIFADDR:
        case VIFNET32_SIOCGIFDSTADDR:
        case VIFNET32_SIOCSIFDSTADDR:
        case VIFNET32_SIOCGIFBRDADDR:
        case VIFNET32_SIOCSIFBRDADDR:
        case VIFNET32_SIOCGIFNETMASK:
        case VIFNET32_SIOCSIFNETMASK:
        case VIFNET32_SIOCGIFMTU:
        case VIFNET32_SIOCSIFMTU:
        case VIFNET32_SIOCSIFHWADDR:
        case VIFNET32_SIOCGIFHWADDR:
        case VIFNET32_SIOCADDMULTI:
        case VIFNET32_SIOCDELMULTI:
        case VIFNET32_SIOCSIFHWBROADCAST:
            return Target::Name;
        case VIFNET32_SIOCDARP:
        case VIFNET32_SIOCGARP:
        case VIFNET32_SIOCSARP:
        case VIFNET32_SIOCDRARP:
        case VIFNET32_SIOCGRARP:
        case VIFNET32_SIOCSRARP:
            return Target::None;
        case static_cast<std::uint32_t>(VIFNET32_TUNSETDEBUG):
        case static_cast<std::uint32_t>(VIFNET32_TUNSETIFF):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_SETDEVBUFSIZE):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_SETIOBUFSIZE):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_SETREADTIMEOUT):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_ADDTARNIPADDR):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_DELTARNIPADDR):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETDEVBUFSIZE):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETIOBUFSIZE):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETREADTIMEOUT):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETSTATS):
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_QUERYTARNIPADDRS):
            return Target::Descriptor;
        default:
            return Target::Unknown;
    }
}

// The name as the caller's record holds it: at most 15 characters, always terminated.
void CopyName(vifnet32_ifreq* req, const std::string& name) {
    std::memset(req->ifr_name, 0, sizeof req->ifr_name);
    std::memcpy(req->ifr_name, name.data(), std::min<std::size_t>(name.size(), sizeof req->ifr_name - 1));
}

// The interface name a request record carries (NUL-terminated within its 16 bytes).
std::wstring RequestName(const void* record) {
    const auto* req = static_cast<const vifnet32_ifreq*>(record);
    return plat::ToWide(std::string(req->ifr_name, strnlen(req->ifr_name, sizeof req->ifr_name)).c_str());
}

}  // namespace

int CVifnet32App::IOCtl(int fd, int request, void* record) {
    if (!record) return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Invalid NULL parameter.\n");
    const auto code = static_cast<std::uint32_t>(request);
    const Target target = Classify(code);
    if (target == Target::Unknown) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Unknown ioctl request %d (0x%08.8X)\n", request,
                    code);
    }
    if (target == Target::None) {
        auto* arp = static_cast<vifnet32_arpreq*>(record);
        if (arp->arp_pa.sa_family != VIFNET32_AF_INET || arp->arp_ha.sa_family != 0 || arp->arp_flags != VIFNET32_ATF_COM) {
            return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Invalid SIOCxARP/SIOCxRARP parameters\n");
        }
        // The host operations get the first bytes of arp_pa.sa_data (the IPv4 address) and of
        // arp_ha.sa_data (the MAC). A lookup's answer is copied into the record only when it
        // succeeds, so that a failed request leaves the record as it was.
        std::uint8_t* ip = arp->arp_pa.sa_data;
        std::uint8_t* mac = arp->arp_ha.sa_data;
        std::uint8_t found[6];
        switch (code) {
            case VIFNET32_SIOCDARP:
                return DelARPTableEntry(ip) ? 0 : -1;
            case VIFNET32_SIOCGARP:
                if (!GetMACAddrForIP(ip, found)) return -1;
                std::memcpy(mac, found, 6);
                return 0;
            case VIFNET32_SIOCDRARP:
                return DelRARPTableEntry(mac) ? 0 : -1;
            case VIFNET32_SIOCGRARP:
                if (!GetIPAddrForMAC(found, mac)) return -1;
                std::memcpy(ip, found, 4);
                return 0;
            default:  // SIOCSARP, SIOCSRARP
                return SetARPTableEntry(ip, mac) ? 0 : -1;
        }
    }
    CVifnetRef vf = target == Target::Name ? LookupName(RequestName(record).c_str()) : LookupFd(fd);
    if (!vf) {
        return Fail(VF_EBADF, VF_ERROR_INVALID_HANDLE,
                    L"** CVifnet32App::IOCtl: Failed to obtain VFPtr from map in process %08.8X; rc=%d: %s\n",
                    plat::GetCurrentProcessId(), VF_ERROR_INVALID_HANDLE, FormatLastError(VF_ERROR_INVALID_HANDLE).c_str());
    }
    return Dispatch(vf.get(), code, record);
}

int CVifnet32App::Dispatch(CVifnet* vf, std::uint32_t code, void* record) {
    auto* req = static_cast<vifnet32_ifreq*>(record);
    auto* addrIn = &req->ifr_ifru.ifru_addr_in;
    auto* hwAddr = &req->ifr_ifru.ifru_hwaddr;
    auto* bytes = static_cast<std::uint8_t*>(record);
    auto result = [](bool ok) { return ok ? 0 : -1; };
    switch (code) {
        case VIFNET32_SIOCGIFNAME:
            CopyName(req, plat::ToNarrow(vf->GetIFaceName()));
            return 0;
        case VIFNET32_SIOCGIFFLAGS:
            req->ifr_flags = static_cast<std::int16_t>(vf->GetIFaceFlags() & 0xFFFF);
            return 0;
        case VIFNET32_SIOCSIFFLAGS:
            return result(vf->SetIFaceFlags(req->ifr_flags));
        case VIFNET32_SIOCGIFADDR:
            return result(vf->GetHostPhysIPAddr(addrIn));
        case VIFNET32_SIOCSIFADDR:
            return result(vf->SetHostPhysByIPAddr(addrIn));
        case VIFNET32_SIOCGIFDSTADDR:
            return result(vf->GetTarnVirtIPAddr(addrIn));
        case VIFNET32_SIOCSIFDSTADDR:
            return result(vf->SetTarnVirtIPAddr(addrIn));
        case VIFNET32_SIOCGIFBRDADDR:
            return result(vf->GetIFaceBroadcast(addrIn));
        case VIFNET32_SIOCSIFBRDADDR:
            return result(vf->SetIFaceBroadcast(addrIn));
        case VIFNET32_SIOCGIFNETMASK:
            return result(vf->GetIFaceNetMask(addrIn));
        case VIFNET32_SIOCSIFNETMASK:
            return result(vf->SetIFaceNetMask(addrIn));
        case VIFNET32_SIOCGIFMTU:
            req->ifr_mtu = static_cast<std::int32_t>(vf->GetIFaceMTU());
            return 0;
        case VIFNET32_SIOCSIFMTU:
            return result(vf->SetIFaceMTU(req->ifr_mtu));
        case VIFNET32_SIOCSIFHWADDR:
            return result(vf->SetTarnVirtMACAddr(hwAddr));
        case VIFNET32_SIOCGIFHWADDR:
            return result(vf->GetTarnVirtMACAddr(hwAddr));
        case VIFNET32_SIOCADDMULTI:
            return result(vf->AddMulticastAddr(hwAddr));
        case VIFNET32_SIOCDELMULTI:
            return result(vf->DelMulticastAddr(hwAddr));
        case VIFNET32_SIOCSIFHWBROADCAST:
            return result(vf->SetIFaceHWBroadcast(hwAddr));
        case static_cast<std::uint32_t>(VIFNET32_TUNSETDEBUG):
            vf->SetDebugFlags(req->ifr_ifru.ifru_value);
            return 0;
        case static_cast<std::uint32_t>(VIFNET32_TUNSETIFF):
            return SetIFF(vf, req);
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_SETDEVBUFSIZE):
            return result(vf->SetDeviceBufferSize(static_cast<int>(req->ifr_ifru.ifru_value)));
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_SETIOBUFSIZE):
            return result(vf->SetIOBufferSize(static_cast<int>(req->ifr_ifru.ifru_value)));
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_SETREADTIMEOUT):
            return result(vf->SetReadTimeout(static_cast<int>(req->ifr_ifru.ifru_value)));
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_ADDTARNIPADDR):
            return result(vf->AddTarnVirtIPAddr(bytes));
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_DELTARNIPADDR):
            return result(vf->DelTarnVirtIPAddr(bytes));
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETDEVBUFSIZE):
            req->ifr_ifru.ifru_value = vf->GetAdapter()->GetAdapterBufferSize();
            return 0;
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETIOBUFSIZE):
            req->ifr_ifru.ifru_value = vf->GetReadBufferSize();
            return 0;
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETREADTIMEOUT):
            req->ifr_ifru.ifru_value = vf->GetReadTimeout();
            return 0;
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_GETSTATS):
            return result(vf->GetStats(static_cast<VIFNET32_STATS*>(record)));
        case static_cast<std::uint32_t>(VIFNET32_IFCTL_QUERYTARNIPADDRS):
            return result(vf->QueryTarnVirtIPAddrs(bytes));
        default:
            VF_ASSERT(false);
            return -1;
    }
}

int CVifnet32App::SetIFF(CVifnet* vf, vifnet32_ifreq* req) {
    const int flags = req->ifr_flags;
    if (!vf->SetVifnetFlags(flags)) return -1;
    plat::CSingleLock lock(m_csApp);
    const std::wstring name = trace::Format(L"%s%i", (flags & 3) == 1 ? L"tun" : L"tap", CountVifnetNames(flags));
    CopyName(req, plat::ToNarrow(name));
    const std::wstring old = vf->GetIFaceName();
    const bool named = vf->SetIFaceName(name.c_str());
    VF_ASSERT(named);
    CName2VFPtrMap* names = GetName2VFPtrMap(plat::GetCurrentProcessId());
    VF_ASSERT(names != nullptr);
    if (names) {
        names->erase(old);
        try {
            (*names)[name] = vf;
            ++names->NamesGiven(flags);
        } catch (const std::bad_alloc&) {
            // The interface keeps its name and its descriptor; only the lookup by name is lost.
            VF_ASSERT(false);
        }
    }
    return 0;
}
