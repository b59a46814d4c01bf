// The descriptor-based calls: find the calling process's interface for the descriptor, then hand
// the call to the interface without the application lock.
#include "app/vifnet32_app.h"
#include "trace/trace.h"
#include "wrenlib.h"

// The interface object, and with it every call that reaches one, comes with the control plane.
// Until then no descriptor is registered, and each call reports an unknown descriptor.

int CVifnet32App::Read(int fd, void* buffer, int size) {
    (void)buffer;
    (void)size;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"Read", fd);
    return -1;
}

int CVifnet32App::Write(int fd, const void* packet, int length) {
    (void)packet;
    (void)length;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"Write", fd);
    return -1;
}

int CVifnet32App::BegMultiWrite(int fd, int size) {
    (void)size;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"BegMultiWrite", fd);
    return -1;
}

int CVifnet32App::EndMultiWrite(int fd) {
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"EndMultiWrite", fd);
    return -1;
}

int CVifnet32App::GetVifnetStats(int fd, VIFNET32_STATS* pStats) {
    (void)pStats;
    if (!LookupFd(fd)) return FailUnknownDescriptor(L"GetVifnetStats", fd);
    return -1;
}
