// The registry as the neighbour services see it: the addresses of the calling process's own
// interfaces, so that one guest's addresses resolve for another without traffic.
#include <cstring>

#include "app/vifnet32_app.h"

namespace {

// Room for an interface's Tarn addresses and the 0.0.0.0 that ends them.
constexpr std::size_t kTarnAddrSlots = 64;
static_assert(kTarnAddrSlots > CVifnet::kMaxTableEntries, "Tarn address slots");

}  // namespace

bool CVifnet32App::FindGuestMAC(std::uint32_t ip, std::uint8_t mac[6]) {
    plat::CSingleLock lock(m_csApp);
    if (Cfd2VFPtrMap* fdMap = GetFd2VFPtrMap(plat::GetCurrentProcessId())) {
        for (const auto& [fd, vf] : *fdMap) {
            (void)fd;
            std::uint32_t addrs[kTarnAddrSlots] = {};
            vf->QueryTarnVirtIPAddrs(reinterpret_cast<std::uint8_t*>(addrs));
            for (std::size_t i = 0; i < kTarnAddrSlots && addrs[i] != 0; ++i) {
                if (addrs[i] != ip) continue;
                vifnet32_sockaddr sa{};
                vf->GetTarnVirtMACAddr(&sa);
                std::memcpy(mac, sa.sa_data, 6);
                return true;
            }
        }
    }
    return false;
}

bool CVifnet32App::FindGuestIP(const std::uint8_t mac[6], std::uint32_t* ip) {
    plat::CSingleLock lock(m_csApp);
    if (Cfd2VFPtrMap* fdMap = GetFd2VFPtrMap(plat::GetCurrentProcessId())) {
        for (const auto& [fd, vf] : *fdMap) {
            (void)fd;
            vifnet32_sockaddr sa{};
            vf->GetTarnVirtMACAddr(&sa);
            if (std::memcmp(sa.sa_data, mac, 6) != 0) continue;
            vifnet32_sockaddr_in sin{};
            vf->GetTarnVirtIPAddr(&sin);
            std::memcpy(ip, &sin.sin_addr, 4);
            return true;
        }
    }
    return false;
}
