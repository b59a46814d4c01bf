// The one failure convention of the library. A failing operation records its error pair
// (errno value and Windows error code) in its object, writes its message, hands the pair to
// the calling thread (last error code and errno) and returns false, -1 or null:
//
//     return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"...\n", ...);
//
// Most messages read "** Class(instance)::Operation: text\n", sometimes with the system's text
// of the error code before the line end; each class has FailOp and FailOpRc to write them, so
// that its sites give only the operation and the text:
//
//     return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceMTU", L"MTU %d ...", nMTU);
//
// Failures with a two-line message pass both lines, already formatted:
//
//     return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, {trace::Format(...), trace::Format(...)});
#pragma once

#include <atomic>
#include <cstdarg>
#include <initializer_list>
#include <string>

#include "platform/errors.h"

// What a failed operation returns, converted to its result type: false, -1 or a null pointer.
struct Failure {
    constexpr operator bool() const { return false; }
    constexpr operator int() const { return -1; }
    template <typename T>
    constexpr operator T*() const {
        return nullptr;
    }
};

// Hands a pair to the calling thread: the last error code first, then errno.
Failure RaiseError(int nErrno, DWORD dwLastError);

// An object that can fail keeps the pair of its last failure. The pair is shared by every
// thread that uses the object, without a lock: it tells the last failure of any of them. So a
// failing call hands its own pair to its thread, never the one read back from the object,
// which another thread may have replaced meanwhile.
class CErrorPair {
public:
    int GetErrno() const { return m_nErrno.load(std::memory_order_relaxed); }
    DWORD GetLastErrorCode() const { return m_dwLastError.load(std::memory_order_relaxed); }

    void RecordError(int nErrno, DWORD dwLastError) {
        m_nErrno.store(nErrno, std::memory_order_relaxed);
        m_dwLastError.store(dwLastError, std::memory_order_relaxed);
    }
    // Records the pair, writes the message (printf-style, wide) and raises the pair.
    Failure Fail(int nErrno, DWORD dwLastError, const wchar_t* format, ...);
    // The same with a message of several lines, written as one block.
    Failure Fail(int nErrno, DWORD dwLastError, std::initializer_list<std::wstring> lines);

protected:
    // Writes "<who>::<operation>: <text>\n", <who> being "** Class(instance)" or "** Class". With
    // bWithCode, "; rc=<code>: <the system's text of the code>" follows the text, the code being
    // dwLastError, so that the message always shows the code the caller receives.
    Failure FailOpV(int nErrno, DWORD dwLastError, bool bWithCode, const std::wstring& who, const std::wstring& operation,
                    const wchar_t* format, va_list args);
    Failure FailV(int nErrno, DWORD dwLastError, const wchar_t* format, va_list args);

    std::atomic<int> m_nErrno{0};
    std::atomic<DWORD> m_dwLastError{0};
};
