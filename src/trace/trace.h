// Diagnostic output: every message of the library goes through DebugTrace to the function the
// caller installed. With none installed a message costs one pointer test.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

#include "platform/platform.h"
#include "vifnet32.h"

namespace trace {

// The caller's output function (null: silent).
extern std::atomic<PRINT_DEBUG_STRING_FUNC> g_pfnPrintDebugString;

inline bool Enabled() { return g_pfnPrintDebugString.load(std::memory_order_relaxed) != nullptr; }

// printf-style formatting with a wide format string, as the library's messages are written:
// %s takes a wide string, %hs a narrow one; %d %i %u %x %X %c %f %p %% with the usual flags, width,
// precision and the h, l, ll, I64 and z size prefixes. %p prints 16 upper-case hex digits on
// every platform.
std::wstring FormatV(const wchar_t* format, va_list args);
std::wstring Format(const wchar_t* format, ...);

// Serialises the output: every message is written under it, and a multi-line block (banners,
// dumps, two-line failures) holds it across its lines so nothing interleaves. It is the last
// lock any thread takes: nothing but formatting and the caller's output function runs under it,
// so it can be taken with any interface, adapter or application lock held.
plat::CCriticalSection& OutputLock();

// Holds the output lock for one multi-line block.
class CBlock {
public:
    CBlock() : m_lock(OutputLock()) {}

private:
    plat::CSingleLock m_lock;
};

}  // namespace trace

void DebugTrace(const wchar_t* format, ...);
void DebugTraceV(const wchar_t* format, va_list args);

// Internal consistency check: reports "<file>(<line>): ** Assertion Failed **" and goes on. The
// condition is evaluated in every build, so it may be the call whose result it checks.
void AssertFailed(const char* file, int line);
#define VF_ASSERT(cond)                                \
    do {                                               \
        if (!(cond)) AssertFailed(__FILE__, __LINE__); \
    } while (0)
