#include "trace/failure.h"

#include "platform/platform.h"
#include "trace/trace.h"

Failure RaiseError(int nErrno, DWORD dwLastError) {
    plat::SetLastErrorCode(dwLastError);
    plat::SetErrno(nErrno);
    return {};
}

Failure CErrorPair::Fail(int nErrno, DWORD dwLastError, const wchar_t* format, ...) {
    RecordError(nErrno, dwLastError);
    if (format && trace::Enabled()) {
        va_list args;
        va_start(args, format);
        DebugTraceV(format, args);
        va_end(args);
    }
    return RaiseError();
}

Failure CErrorPair::FailWithCurrent(const wchar_t* format, ...) {
    RecordError(plat::GetErrno(), plat::GetLastErrorCode());
    if (format && trace::Enabled()) {
        va_list args;
        va_start(args, format);
        DebugTraceV(format, args);
        va_end(args);
    }
    return RaiseError();
}
