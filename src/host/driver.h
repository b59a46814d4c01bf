// The packet driver as the code that calls it sees it: its read event is a platform wait handle,
// and a failed call leaves an error pair to take.
#pragma once

#include <type_traits>

#include "platform/platform.h"
#include "wrenpack.h"

static_assert(std::is_same_v<WP_EVENT, plat::WaitHandle> && WP_NO_EVENT == plat::kNoWaitHandle,
              "the driver's read event is waited for as a platform wait handle");

// The pair a failed packet-driver call left on this thread: errno, and the driver's Windows
// error code, which also becomes the thread's last error code (the driver keeps its own on
// platforms without a system-wide one). Read first, before anything can change errno.
struct DriverError {
    int nErrno;
    DWORD code;
};
inline DriverError TakeDriverError() {
    const int nErrno = plat::GetErrno();
    plat::SetLastErrorCode(WrenPackGetLastError());
    return {nErrno, plat::GetLastErrorCode()};
}
