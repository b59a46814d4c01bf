// The descriptor-based calls: find the calling process's interface for the descriptor, then hand
// the call to the interface without the application lock.
#include "app/vifnet32_app.h"
#include "trace/trace.h"
#include "wrenlib.h"

// Negative sizes and lengths reach the interface as huge unsigned values, which its own checks
// refuse (a length) or clamp to what there is (a read buffer is never written past a packet).
int CVifnet32App::Read(int fd, void* buffer, int size) {
    CVifnetRef vf = LookupFd(fd);
    if (!vf) return FailUnknownDescriptor(L"Read", fd);
    return vf->Read(buffer, size < 0 ? 0 : static_cast<std::uint32_t>(size));
}

int CVifnet32App::Write(int fd, const void* packet, int length) {
    CVifnetRef vf = LookupFd(fd);
    if (!vf) return FailUnknownDescriptor(L"Write", fd);
    return vf->Write(packet, static_cast<std::uint32_t>(length));
}

int CVifnet32App::BegMultiWrite(int fd, int size) {
    CVifnetRef vf = LookupFd(fd);
    if (!vf) return FailUnknownDescriptor(L"BegMultiWrite", fd);
    return vf->BegMultiWrite(size < 0 ? 0 : static_cast<std::uint32_t>(size)) ? 0 : -1;
}

int CVifnet32App::EndMultiWrite(int fd) {
    CVifnetRef vf = LookupFd(fd);
    if (!vf) return FailUnknownDescriptor(L"EndMultiWrite", fd);
    return vf->EndMultiWrite() ? 0 : -1;
}

int CVifnet32App::GetVifnetStats(int fd, VIFNET32_STATS* pStats) {
    CVifnetRef vf = LookupFd(fd);
    if (!vf) return FailUnknownDescriptor(L"GetVifnetStats", fd);
    if (!pStats || pStats->dwStructSize == 0) {
        return FailOpRc(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"GetVifnetStats",
                        L"!pStats || !pStats->dwStructSize for %s from process %08.8X", vf->GetIFaceName().c_str(),
                        plat::GetCurrentProcessId());
    }
    if (pStats->dwStructSize > VIFNET32_MAX_STATS_SIZE) {
        return FailOpRc(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"GetVifnetStats",
                        L"pStats->dwStructSize %u too large for %s from process %08.8X", pStats->dwStructSize,
                        vf->GetIFaceName().c_str(), plat::GetCurrentProcessId());
    }
    return vf->GetStats(pStats) ? 0 : -1;
}
