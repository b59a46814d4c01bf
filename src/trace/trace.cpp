#include "trace/trace.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace trace {

std::atomic<PRINT_DEBUG_STRING_FUNC> g_pfnPrintDebugString{nullptr};

namespace {

// Appends one conversion, formatted by the C library from a narrow conversion that has the same
// flags, width and precision as the caller's.
template <typename T>
void AppendOne(std::wstring& out, const std::string& conversion, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, conversion.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, small + n);
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), conversion.c_str(), value);
    out.append(big.begin(), big.begin() + n);
}

}  // namespace

std::wstring FormatV(const wchar_t* format, va_list args) {
    std::wstring out;
    if (!format) return out;
    for (const wchar_t* p = format; *p;) {
        if (*p != L'%') {
            out.push_back(*p++);
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            out.push_back(L'%');
            ++p;
            continue;
        }
        std::string conversion = "%";
        while (*p && std::wcschr(L"-+ #0", *p))
            conversion.push_back(static_cast<char>(*p++));
        auto number = [&]() {
            if (*p == L'*') {
                conversion += std::to_string(va_arg(args, int));
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9')
                    conversion.push_back(static_cast<char>(*p++));
            }
        };
        number();
        if (*p == L'.') {
            conversion.push_back('.');
            ++p;
            number();
        }
        enum { kInt, kShort, kLong, kLongLong, kSize } size = kInt;
        bool narrow = false;
        if (*p == L'h') {
            ++p;
            if (*p == L'h') ++p;
            size = kShort;
            narrow = true;
        } else if (*p == L'l') {
            ++p;
            size = kLong;
            if (*p == L'l') {
                ++p;
                size = kLongLong;
            }
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            p += 3;
            size = kLongLong;
        } else if (*p == L'z') {
            ++p;
            size = kSize;
        }
        wchar_t conv = *p ? *p++ : L'\0';
        switch (conv) {
            case L'd':
            case L'i':
                if (size == kLongLong || size == kSize) {
                    AppendOne(out, conversion + "lld", static_cast<long long>(va_arg(args, long long)));
                } else if (size == kLong) {
                    AppendOne(out, conversion + "ld", va_arg(args, long));
                } else {
                    int v = va_arg(args, int);
                    AppendOne(out, conversion + "d", size == kShort ? static_cast<int>(static_cast<short>(v)) : v);
                }
                break;
            case L'u':
            case L'x':
            case L'X': {
                char c = static_cast<char>(conv);
                if (size == kLongLong || size == kSize) {
                    AppendOne(out, conversion + "ll" + c, static_cast<unsigned long long>(va_arg(args, unsigned long long)));
                } else if (size == kLong) {
                    AppendOne(out, conversion + "l" + c, va_arg(args, unsigned long));
                } else {
                    unsigned v = va_arg(args, unsigned);
                    AppendOne(out, conversion + c, size == kShort ? static_cast<unsigned>(static_cast<unsigned short>(v)) : v);
                }
                break;
            }
            case L'c':
                if (narrow) {
                    AppendOne(out, conversion + "c", va_arg(args, int));
                } else {
                    wchar_t wc[2] = {static_cast<wchar_t>(va_arg(args, int)), 0};
                    AppendOne(out, conversion + "s", plat::ToNarrow(wc).c_str());
                }
                break;
            case L's':
                if (narrow) {
                    const char* s = va_arg(args, const char*);
                    AppendOne(out, conversion + "s", s ? s : "(null)");
                } else {
                    const wchar_t* s = va_arg(args, const wchar_t*);
                    AppendOne(out, conversion + "s", s ? plat::ToNarrow(s).c_str() : "(null)");
                }
                break;
            case L'f':
                AppendOne(out, conversion + "f", va_arg(args, double));
                break;
            case L'p':
                AppendOne(out, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
                break;
            default:  // not a conversion we know: show it as written
                out.append(start, p);
                break;
        }
    }
    return out;
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring s = FormatV(format, args);
    va_end(args);
    return s;
}

plat::CCriticalSection& OutputLock() {
    // Never destroyed: messages may still be written while the process unloads the library.
    static auto* lock = new plat::CCriticalSection(4000);
    return *lock;
}

}  // namespace trace

void DebugTraceV(const wchar_t* format, va_list args) {
    // Read once: a concurrent change sends this message to the old function or the new one.
    PRINT_DEBUG_STRING_FUNC fn = trace::g_pfnPrintDebugString.load(std::memory_order_acquire);
    if (!fn) return;
    std::string text = plat::ToNarrow(trace::FormatV(format, args));
    plat::CSingleLock lock(trace::OutputLock());
    fn(text.c_str());
}

void DebugTrace(const wchar_t* format, ...) {
    if (!trace::Enabled()) return;
    va_list args;
    va_start(args, format);
    DebugTraceV(format, args);
    va_end(args);
}

void AssertFailed(const char* file, int line) {
    if (!trace::Enabled()) return;
    // The source file's own name, not the build machine's path to it.
    const char* base = file;
    for (const char* p = file; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    DebugTrace(L"%s(%d): ** Assertion Failed **\n", plat::ToWide(base).c_str(), line);
}
