// The exported functions. Each _ex form forwards to one operation and stores the resulting errno
// through its last argument; each plain form calls its _ex form and leaves that number in errno.
// The library has no module context to switch to, so the shells do nothing else.
#include <type_traits>

#include "app/vifnet32_app.h"
#include "host/adapter_list.h"
#include "host/checksum.h"
#include "host/mac.h"
#include "trace/trace.h"

namespace {

const char kCopyright[] = "Copyright (C) 2026 Quillmark. All rights reserved.";

// Stores errno through e when e is not null, and passes the result through.
template <typename T>
T Report(T result, int* e) {
    if (e) *e = plat::GetErrno();
    return result;
}

// The plain form: runs the _ex form, then leaves the number it reported in errno.
template <typename Call>
auto Plain(Call call) {
    int e = 0;
    if constexpr (std::is_void_v<decltype(call(&e))>) {
        call(&e);
        plat::SetErrno(e);
    } else {
        auto result = call(&e);
        plat::SetErrno(e);
        return result;
    }
}

}  // namespace

extern "C" {

VIFNET32_API int vifnet32_open_ex(const char* gateway, int flags, int* e) { return Report(theApp.Open(gateway, flags), e); }
VIFNET32_API int vifnet32_open(const char* gateway, int flags) {
    return Plain([&](int* e) { return vifnet32_open_ex(gateway, flags, e); });
}

VIFNET32_API int vifnet32_close_ex(int fd, int* e) { return Report(theApp.Close(fd), e); }
VIFNET32_API int vifnet32_close(int fd) {
    return Plain([&](int* e) { return vifnet32_close_ex(fd, e); });
}

VIFNET32_API int vifnet32_read_ex(int fd, void* buffer, int size, int* e) { return Report(theApp.Read(fd, buffer, size), e); }
VIFNET32_API int vifnet32_read(int fd, void* buffer, int size) {
    return Plain([&](int* e) { return vifnet32_read_ex(fd, buffer, size, e); });
}

VIFNET32_API int vifnet32_write_ex(int fd, const void* buffer, int length, int* e) {
    return Report(theApp.Write(fd, buffer, length), e);
}
VIFNET32_API int vifnet32_write(int fd, const void* buffer, int length) {
    return Plain([&](int* e) { return vifnet32_write_ex(fd, buffer, length, e); });
}

VIFNET32_API int vifnet32_ioctl_ex(int fd, int request, void* record, int* e) {
    return Report(theApp.IOCtl(fd, request, record), e);
}
VIFNET32_API int vifnet32_ioctl(int fd, int request, void* record) {
    return Plain([&](int* e) { return vifnet32_ioctl_ex(fd, request, record, e); });
}

VIFNET32_API int vifnet32_beg_write_multi_ex(int fd, int size, int* e) { return Report(theApp.BegMultiWrite(fd, size), e); }
VIFNET32_API int vifnet32_beg_write_multi(int fd, int size) {
    return Plain([&](int* e) { return vifnet32_beg_write_multi_ex(fd, size, e); });
}

VIFNET32_API int vifnet32_end_write_multi_ex(int fd, int* e) { return Report(theApp.EndMultiWrite(fd), e); }
VIFNET32_API int vifnet32_end_write_multi(int fd) {
    return Plain([&](int* e) { return vifnet32_end_write_multi_ex(fd, e); });
}

VIFNET32_API int vifnet32_get_stats_ex(int fd, VIFNET32_STATS* stats, int* e) {
    return Report(theApp.GetVifnetStats(fd, stats), e);
}
VIFNET32_API int vifnet32_get_stats(int fd, VIFNET32_STATS* stats) {
    return Plain([&](int* e) { return vifnet32_get_stats_ex(fd, stats, e); });
}

VIFNET32_API const char* vifnet32_get_default_iface_ex(int* e) {
    const char* text = GetDefaultIFace();
    return Report(text ? text : "", e);
}
VIFNET32_API const char* vifnet32_get_default_iface(void) {
    return Plain([&](int* e) { return vifnet32_get_default_iface_ex(e); });
}

VIFNET32_API int vifnet32_set_debug_output_func_ex(PRINT_DEBUG_STRING_FUNC func, int* e) {
    trace::g_pfnPrintDebugString.store(func, std::memory_order_release);
    return Report(WrenPackSetPrintDebugStringFunction(func), e);
}
VIFNET32_API int vifnet32_set_debug_output_func(PRINT_DEBUG_STRING_FUNC func) {
    return Plain([&](int* e) { return vifnet32_set_debug_output_func_ex(func, e); });
}

VIFNET32_API int vifnet32_socketpair_ex(int domain, int type, int protocol, int sv[2], int* e) {
    return Report(theApp.socketpair(domain, type, protocol, sv), e);
}
VIFNET32_API int vifnet32_socketpair(int domain, int type, int protocol, int sv[2]) {
    return Plain([&](int* e) { return vifnet32_socketpair_ex(domain, type, protocol, sv, e); });
}

VIFNET32_API unsigned short vifnet32_calc_checksum_ex(const void* data, int length, int* e) {
    // The export has no way to report an error: a negative length or a null pointer sums no
    // bytes (0, errno untouched) rather than the 4 GiB a negative length would read.
    if (!data || length < 0) length = 0;
    return Report(CalcChecksum(data, static_cast<std::uint32_t>(length)), e);
}
VIFNET32_API unsigned short vifnet32_calc_checksum(const void* data, int length) {
    return Plain([&](int* e) { return vifnet32_calc_checksum_ex(data, length, e); });
}

VIFNET32_API unsigned short vifnet32_calc_inet_checksum_ex(const void* data, int length, int* e) {
    auto sum = static_cast<unsigned short>(~vifnet32_calc_checksum_ex(data, length, e));
    return Report(sum, e);
}
VIFNET32_API unsigned short vifnet32_calc_inet_checksum(const void* data, int length) {
    return Plain([&](int* e) { return vifnet32_calc_inet_checksum_ex(data, length, e); });
}

VIFNET32_API void vifnet32_build_tarn_iface_mac_ex(unsigned char* mac, const unsigned char* ip, int* e) {
    BuildTarnIfaceMAC(mac, ip);
    Report(0, e);
}
VIFNET32_API void vifnet32_build_tarn_iface_mac(unsigned char* mac, const unsigned char* ip) {
    Plain([&](int* e) { vifnet32_build_tarn_iface_mac_ex(mac, ip, e); });
}

VIFNET32_API void vifnet32_version_numbers_ex(int* major, int* minor, int* release, int* build, int* e) {
    if (major) *major = VIFNET32_VERSION_MAJOR;
    if (minor) *minor = VIFNET32_VERSION_MINOR;
    if (release) *release = VIFNET32_VERSION_RELEASE;
    if (build) *build = VIFNET32_VERSION_BUILD;
    if (e) *e = 0;
}
VIFNET32_API void vifnet32_version_numbers(int* major, int* minor, int* release, int* build) {
    Plain([&](int* e) { vifnet32_version_numbers_ex(major, minor, release, build, e); });
}

VIFNET32_API const char* vifnet32_version_string_ex(int* e) {
    if (e) *e = 0;
    return theApp.GetVersionString();
}
VIFNET32_API const char* vifnet32_version_string(void) {
    return Plain([&](int* e) { return vifnet32_version_string_ex(e); });
}

VIFNET32_API const char* vifnet32_copyright_string_ex(int* e) {
    if (e) *e = 0;
    return kCopyright;
}
VIFNET32_API const char* vifnet32_copyright_string(void) {
    return Plain([&](int* e) { return vifnet32_copyright_string_ex(e); });
}

}  // extern "C"
