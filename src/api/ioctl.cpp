// The interface-control dispatcher: checks a request, finds the interface it is meant for and
// hands it the request record.
#include <cstring>
#include <string>

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
        const auto* arp = static_cast<const vifnet32_arpreq*>(record);
        if (arp->arp_pa.sa_family != VIFNET32_AF_INET || arp->arp_ha.sa_family != 0 || arp->arp_flags != VIFNET32_ATF_COM) {
            return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32::IOCtl: Invalid SIOCxARP/SIOCxRARP parameters\n");
        }
        // The host ARP-table services come with the data plane: until then every entry is
        // reported as not found.
        return Fail(VF_ENOENT, VF_ERROR_NOT_FOUND, nullptr);
    }
    CVifnet* vf = nullptr;
    if (target == Target::Name) {
        const auto* req = static_cast<const vifnet32_ifreq*>(record);
        std::string name(req->ifr_name, strnlen(req->ifr_name, sizeof req->ifr_name));
        vf = LookupName(plat::ToWide(name.c_str()).c_str());
    } else {
        vf = LookupFd(fd);
    }
    if (!vf) {
        return Fail(VF_EBADF, VF_ERROR_INVALID_HANDLE,
                    L"** CVifnet32App::IOCtl: Failed to obtain VFPtr from map in process %08.8X; rc=%d: %s\n",
                    plat::GetCurrentProcessId(), VF_ERROR_INVALID_HANDLE, FormatLastError(VF_ERROR_INVALID_HANDLE).c_str());
    }
    // Requests reach interfaces once the interface object exists; no name or descriptor is
    // registered before then.
    VF_ASSERT(false);
    return -1;
}
