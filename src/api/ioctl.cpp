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

// How a request finds its interface: by the caller's descriptor, by the name in its record, or
// not at all (the host's ARP table).
enum class Target { Descriptor, Name, Host };

using Handler = int (*)(CVifnet32App& app, CVifnet* vf, void* record);

struct Request {
    std::uint32_t code;
    Target target;
    Handler handler;
};

vifnet32_ifreq* Req(void* record) { return static_cast<vifnet32_ifreq*>(record); }
vifnet32_sockaddr_in* AddrIn(void* record) { return &Req(record)->ifr_ifru.ifru_addr_in; }
vifnet32_sockaddr* HwAddr(void* record) { return &Req(record)->ifr_ifru.ifru_hwaddr; }
std::uint8_t* Bytes(void* record) { return static_cast<std::uint8_t*>(record); }
int Value(void* record) { return static_cast<int>(Req(record)->ifr_ifru.ifru_value); }
int Result(bool ok) { return ok ? 0 : -1; }

// The host operations get the first bytes of arp_pa.sa_data (the IPv4 address) and of
// arp_ha.sa_data (the MAC). A lookup's answer is copied into the record only when it succeeds,
// so that a failed request leaves the record as it was.
std::uint8_t* ArpIP(void* record) { return static_cast<vifnet32_arpreq*>(record)->arp_pa.sa_data; }
std::uint8_t* ArpMAC(void* record) { return static_cast<vifnet32_arpreq*>(record)->arp_ha.sa_data; }

constexpr std::uint32_t U(int code) { return static_cast<std::uint32_t>(code); }

// Every request the library serves, with how it finds its interface and what it does.
const Request kRequests[] = {
    {VIFNET32_SIOCGIFNAME, Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         CopyName(Req(r), plat::ToNarrow(vf->GetIFaceName()));
         return 0;
     }},
    {VIFNET32_SIOCGIFFLAGS, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         Req(r)->ifr_flags = static_cast<std::int16_t>(vf->GetIFaceFlags() & 0xFFFF);
         return 0;
     }},
    {VIFNET32_SIOCSIFFLAGS, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetIFaceFlags(Req(r)->ifr_flags)); }},
    {VIFNET32_SIOCGIFADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->GetHostPhysIPAddr(AddrIn(r))); }},
    {VIFNET32_SIOCSIFADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetHostPhysByIPAddr(AddrIn(r))); }},
    {VIFNET32_SIOCGIFDSTADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->GetTarnVirtIPAddr(AddrIn(r))); }},
    {VIFNET32_SIOCSIFDSTADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetTarnVirtIPAddr(AddrIn(r))); }},
    {VIFNET32_SIOCGIFBRDADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->GetIFaceBroadcast(AddrIn(r))); }},
    {VIFNET32_SIOCSIFBRDADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetIFaceBroadcast(AddrIn(r))); }},
    {VIFNET32_SIOCGIFNETMASK, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->GetIFaceNetMask(AddrIn(r))); }},
    {VIFNET32_SIOCSIFNETMASK, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetIFaceNetMask(AddrIn(r))); }},
    {VIFNET32_SIOCGIFMTU, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         Req(r)->ifr_mtu = static_cast<std::int32_t>(vf->GetIFaceMTU());
         return 0;
     }},
    {VIFNET32_SIOCSIFMTU, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetIFaceMTU(Req(r)->ifr_mtu)); }},
    {VIFNET32_SIOCSIFHWADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetTarnVirtMACAddr(HwAddr(r))); }},
    {VIFNET32_SIOCGIFHWADDR, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->GetTarnVirtMACAddr(HwAddr(r))); }},
    {VIFNET32_SIOCADDMULTI, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->AddMulticastAddr(HwAddr(r))); }},
    {VIFNET32_SIOCDELMULTI, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->DelMulticastAddr(HwAddr(r))); }},
    {VIFNET32_SIOCSIFHWBROADCAST, Target::Name,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetIFaceHWBroadcast(HwAddr(r))); }},
    {VIFNET32_SIOCDARP, Target::Host,
     [](CVifnet32App& app, CVifnet*, void* r) { return Result(app.GetNeighbours().DelARPTableEntry(ArpIP(r))); }},
    {VIFNET32_SIOCGARP, Target::Host,
     [](CVifnet32App& app, CVifnet*, void* r) {
         std::uint8_t found[6];
         if (!app.GetNeighbours().GetMACAddrForIP(ArpIP(r), found)) return -1;
         std::memcpy(ArpMAC(r), found, 6);
         return 0;
     }},
    {VIFNET32_SIOCSARP, Target::Host,
     [](CVifnet32App& app, CVifnet*, void* r) { return Result(app.GetNeighbours().SetARPTableEntry(ArpIP(r), ArpMAC(r))); }},
    {VIFNET32_SIOCDRARP, Target::Host,
     [](CVifnet32App& app, CVifnet*, void* r) { return Result(app.GetNeighbours().DelRARPTableEntry(ArpMAC(r))); }},
    {VIFNET32_SIOCGRARP, Target::Host,
     [](CVifnet32App& app, CVifnet*, void* r) {
         std::uint8_t found[4];
         if (!app.GetNeighbours().GetIPAddrForMAC(found, ArpMAC(r))) return -1;
         std::memcpy(ArpIP(r), found, 4);
         return 0;
     }},
    {VIFNET32_SIOCSRARP, Target::Host,
     [](CVifnet32App& app, CVifnet*, void* r) { return Result(app.GetNeighbours().SetARPTableEntry(ArpIP(r), ArpMAC(r))); }},
    {U(VIFNET32_TUNSETDEBUG), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         vf->SetDebugFlags(Req(r)->ifr_ifru.ifru_value);
         return 0;
     }},
    {U(VIFNET32_TUNSETIFF), Target::Descriptor, [](CVifnet32App& app, CVifnet* vf, void* r) { return app.SetIFF(vf, Req(r)); }},
    {U(VIFNET32_IFCTL_SETDEVBUFSIZE), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetDeviceBufferSize(Value(r))); }},
    {U(VIFNET32_IFCTL_SETIOBUFSIZE), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetIOBufferSize(Value(r))); }},
    {U(VIFNET32_IFCTL_SETREADTIMEOUT), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetReadTimeout(Value(r))); }},
    {U(VIFNET32_IFCTL_ADDTARNIPADDR), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->AddTarnVirtIPAddr(Bytes(r))); }},
    {U(VIFNET32_IFCTL_DELTARNIPADDR), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->DelTarnVirtIPAddr(Bytes(r))); }},
    {U(VIFNET32_IFCTL_GETDEVBUFSIZE), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         Req(r)->ifr_ifru.ifru_value = vf->GetAdapter()->GetAdapterBufferSize();
         return 0;
     }},
    {U(VIFNET32_IFCTL_GETIOBUFSIZE), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         Req(r)->ifr_ifru.ifru_value = vf->GetReadBufferSize();
         return 0;
     }},
    {U(VIFNET32_IFCTL_GETREADTIMEOUT), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         Req(r)->ifr_ifru.ifru_value = vf->GetReadTimeout();
         return 0;
     }},
    {U(VIFNET32_IFCTL_GETSTATS), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->GetStats(static_cast<VIFNET32_STATS*>(r))); }},
    {U(VIFNET32_IFCTL_SETMACMODE), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->SetMacMode(*static_cast<int*>(r))); }},
    {U(VIFNET32_IFCTL_GETMACMODE), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) {
         *static_cast<int*>(r) = vf->GetMacMode();
         return 0;
     }},
    {U(VIFNET32_IFCTL_QUERYTARNIPADDRS), Target::Descriptor,
     [](CVifnet32App&, CVifnet* vf, void* r) { return Result(vf->QueryTarnVirtIPAddrs(Bytes(r))); }},
};

const Request* FindRequest(std::uint32_t code) {
    for (const Request& request : kRequests) {
        if (request.code == code) return &request;
    }
    return nullptr;
}

}  // namespace

int CVifnet32App::IOCtl(int fd, int request, void* record) {
    if (!record) return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Invalid NULL parameter.\n");
    const auto code = static_cast<std::uint32_t>(request);
    const Request* entry = FindRequest(code);
    if (!entry) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Unknown ioctl request %d (0x%08.8X)\n", request,
                    code);
    }
    if (entry->target == Target::Host) {
        const auto* arp = static_cast<const vifnet32_arpreq*>(record);
        if (arp->arp_pa.sa_family != VIFNET32_AF_INET || arp->arp_ha.sa_family != 0 || arp->arp_flags != VIFNET32_ATF_COM) {
            return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Invalid SIOCxARP/SIOCxRARP parameters\n");
        }
        return entry->handler(*this, nullptr, record);
    }
    CVifnetRef vf = entry->target == Target::Name ? LookupName(RequestName(record).c_str()) : LookupFd(fd);
    if (!vf) {
        return FailOpRc(VF_EBADF, VF_ERROR_INVALID_HANDLE, L"IOCtl", L"Failed to obtain VFPtr from map in process %08.8X",
                        plat::GetCurrentProcessId());
    }
    return entry->handler(*this, vf.get(), record);
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
