// Error numbers the library reports. errno values and Windows error codes are the same numbers
// on every platform, whatever the platform's own <errno.h> says (60 is not ETIMEDOUT on Linux,
// for instance), so the library names them here and never uses the platform's macros.
#pragma once

#include <cstdint>

// A 32-bit unsigned number, spelt as Windows spells it so that the two declarations agree.
#if defined(_WIN32)
typedef unsigned long DWORD;
#else
typedef std::uint32_t DWORD;
#endif

// errno values.
constexpr int VF_ENOENT = 2;
constexpr int VF_EIO = 5;
constexpr int VF_EBADF = 9;
constexpr int VF_ENOMEM = 12;
constexpr int VF_EACCES = 13;
constexpr int VF_EBUSY = 16;
constexpr int VF_EEXIST = 17;
constexpr int VF_ENODEV = 19;
constexpr int VF_EINVAL = 22;
constexpr int VF_ENOSPC = 28;
constexpr int VF_EROFS = 30;
constexpr int VF_ETIMEDOUT = 60;

// Windows error codes.
constexpr DWORD VF_ERROR_SUCCESS = 0;
constexpr DWORD VF_ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD VF_ERROR_ACCESS_DENIED = 5;
constexpr DWORD VF_ERROR_INVALID_HANDLE = 6;
constexpr DWORD VF_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD VF_ERROR_OUTOFMEMORY = 14;
constexpr DWORD VF_ERROR_WRITE_PROTECT = 19;
constexpr DWORD VF_ERROR_GEN_FAILURE = 31;
constexpr DWORD VF_ERROR_NOT_SUPPORTED = 50;
constexpr DWORD VF_ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD VF_ERROR_BAD_NET_NAME = 67;
constexpr DWORD VF_ERROR_INVALID_PARAMETER = 87;
constexpr DWORD VF_ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD VF_ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD VF_ERROR_BUSY = 170;
constexpr DWORD VF_ERROR_ALREADY_EXISTS = 183;
constexpr DWORD VF_ERROR_NO_DATA = 232;
constexpr DWORD VF_WAIT_TIMEOUT = 258;
constexpr DWORD VF_ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD VF_ERROR_NOT_FOUND = 1168;
constexpr DWORD VF_ERROR_NETWORK_UNREACHABLE = 1231;
constexpr DWORD VF_ERROR_TOO_MANY_NAMES = 68;

// Windows Sockets error codes, reported in errno by the socket pair.
constexpr int VF_WSAEINTR = 10004;
constexpr int VF_WSAEBADF = 10009;
constexpr int VF_WSAEACCES = 10013;
constexpr int VF_WSAEFAULT = 10014;
constexpr int VF_WSAEINVAL = 10022;
constexpr int VF_WSAEMFILE = 10024;
constexpr int VF_WSAEWOULDBLOCK = 10035;
constexpr int VF_WSAENOTSOCK = 10038;
constexpr int VF_WSAEPROTOTYPE = 10041;
constexpr int VF_WSAENOPROTOOPT = 10042;
constexpr int VF_WSAEPROTONOSUPPORT = 10043;
constexpr int VF_WSAEOPNOTSUPP = 10045;
constexpr int VF_WSAEAFNOSUPPORT = 10047;
constexpr int VF_WSAEADDRINUSE = 10048;
constexpr int VF_WSAEADDRNOTAVAIL = 10049;
constexpr int VF_WSAENETDOWN = 10050;
constexpr int VF_WSAENETUNREACH = 10051;
constexpr int VF_WSAECONNABORTED = 10053;
constexpr int VF_WSAECONNRESET = 10054;
constexpr int VF_WSAENOBUFS = 10055;
constexpr int VF_WSAENOTCONN = 10057;
constexpr int VF_WSAETIMEDOUT = 10060;
constexpr int VF_WSAECONNREFUSED = 10061;
