#include "trace/failure.h"

#include "platform/platform.h"
#include "trace/trace.h"

Failure RaiseError(int nErrno, DWORD dwLastError) {
    plat::SetLastErrorCode(dwLastError);
    plat::SetErrno(nErrno);
    return {};
}

Failure CErrorPair::FailV(int nErrno, DWORD dwLastError, const wchar_t* format, va_list args) {
    RecordError(nErrno, dwLastError);
    if (format) DebugTraceV(format, args);
    return ::RaiseError(nErrno, dwLastError);
}

Failure CErrorPair::FailOpV(int nErrno, DWORD dwLastError, bool bWithCode, const std::wstring& who, const std::wstring& operation,
                            const wchar_t* format, va_list args) {
    RecordError(nErrno, dwLastError);
    if (trace::Enabled()) {
        std::wstring line = who + L"::" + operation + L": " + trace::FormatV(format, args);
        if (bWithCode)
            line += trace::Format(L"; rc=%d: %s", static_cast<int>(dwLastError), plat::SystemErrorText(dwLastError).c_str());
        line += L'\n';
        DebugTrace(L"%s", line.c_str());
    }
    return ::RaiseError(nErrno, dwLastError);
}

Failure CErrorPair::Fail(int nErrno, DWORD dwLastError, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailV(nErrno, dwLastError, format, args);
    va_end(args);
    return {};
}

Failure CErrorPair::Fail(int nErrno, DWORD dwLastError, std::initializer_list<std::wstring> lines) {
    RecordError(nErrno, dwLastError);
    {
        trace::CBlock block;
        for (const std::wstring& line : lines)
            DebugTrace(L"%s", line.c_str());
    }
    return ::RaiseError(nErrno, dwLastError);
}
