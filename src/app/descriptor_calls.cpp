// The descriptor-based calls: find the calling process's interface for the descriptor, then hand
// the call to the interface without the application lock.
#include "app/vifnet32_app.h"
#include "trace/trace.h"
#include "wrenlib.h"

// Reading and writing frames come with the data plane (the adapter's reader thread and send
// operations). Until then these calls find the interface and report that the path is missing.
Failure CVifnet32App::FailNoDataPath(const wchar_t* operation) {
    return Fail(VF_ENODEV, VF_ERROR_NOT_SUPPORTED, L"** CVifnet32App::%s: frame path not available; rc=%d: %s\n", operation,
                VF_ERROR_NOT_SUPPORTED, FormatLastError(VF_ERROR_NOT_SUPPORTED).c_str());
}

int CVifnet32App::Read(int fd, void* buffer, int size) {
    (void)buffer;
    (void)size;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"Read", fd);
    return FailNoDataPath(L"Read");
}

int CVifnet32App::Write(int fd, const void* packet, int length) {
    (void)packet;
    (void)length;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"Write", fd);
    return FailNoDataPath(L"Write");
}

int CVifnet32App::BegMultiWrite(int fd, int size) {
    (void)size;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"BegMultiWrite", fd);
    return FailNoDataPath(L"BegMultiWrite");
}

int CVifnet32App::EndMultiWrite(int fd) {
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"EndMultiWrite", fd);
    return FailNoDataPath(L"EndMultiWrite");
}

int CVifnet32App::GetVifnetStats(int fd, VIFNET32_STATS* pStats) {
    CVifnetRef vf = LookupFd(fd);
    if (!vf) return FailUnknownDescriptor(L"GetVifnetStats", fd);
    if (!pStats || pStats->dwStructSize == 0) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    L"** CVifnet32App::GetVifnetStats: !pStats || !pStats->dwStructSize for %s from process %08.8X; rc=%d: %s\n",
                    vf->GetIFaceName().c_str(), plat::GetCurrentProcessId(), VF_ERROR_INVALID_PARAMETER,
                    FormatLastError(VF_ERROR_INVALID_PARAMETER).c_str());
    }
    return vf->GetStats(pStats) ? 0 : -1;
}
