// Windows implementation of the platform layer.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/resource_strings.h"

namespace plat {

// ---- Locks -------------------------------------------------------------------------------------

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section storage");

static CRITICAL_SECTION* Section(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

CCriticalSection::CCriticalSection(unsigned spinCount) : m_nSpinCount(spinCount) {
    new (m_storage) CRITICAL_SECTION;
    InitializeCriticalSectionAndSpinCount(Section(m_storage), spinCount);
}

CCriticalSection::~CCriticalSection() { DeleteCriticalSection(Section(m_storage)); }
void CCriticalSection::Enter() { EnterCriticalSection(Section(m_storage)); }
void CCriticalSection::Leave() { LeaveCriticalSection(Section(m_storage)); }

// ---- Events ------------------------------------------------------------------------------------

CEvent::CEvent() : m_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CEvent::~CEvent() {
    if (m_handle) CloseHandle(m_handle);
}

bool CEvent::Set() { return m_handle && SetEvent(m_handle); }
bool CEvent::Reset() { return m_handle && ResetEvent(m_handle); }

DWORD WaitForAny(const WaitHandle* handles, unsigned count, DWORD timeoutMs) {
    DWORD rc = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (rc < WAIT_OBJECT_0 + count) return kWaitObject0 + (rc - WAIT_OBJECT_0);
    if (rc == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}

// ---- Threads and time ------------------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadProc proc;
    void* arg;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    return start.proc(start.arg);
}
}  // namespace

CThread::~CThread() { Join(); }

bool CThread::Start(ThreadProc proc, void* arg) {
    if (m_handle) return false;
    auto* start = new (std::nothrow) ThreadStart{proc, arg};
    if (!start) return false;
    HANDLE h = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
    if (!h) {
        delete start;
        return false;
    }
    m_handle = h;
    return true;
}

bool CThread::Join() {
    if (!m_handle) return true;
    bool ok = WaitForSingleObject(m_handle, INFINITE) == WAIT_OBJECT_0;
    CloseHandle(m_handle);
    m_handle = nullptr;
    return ok;
}

DWORD GetTickCount() { return ::GetTickCount(); }
void Sleep(DWORD ms) { ::Sleep(ms); }
DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }
DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

// ---- Last error ------------------------------------------------------------------------------

DWORD GetLastErrorCode() { return ::GetLastError(); }
void SetLastErrorCode(DWORD code) { ::SetLastError(code); }
void SetErrno(int value) { errno = value; }
int GetErrno() { return errno; }

std::wstring SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result;
    if (n && text) {
        result.assign(text, n);
        while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
            result.pop_back();
    }
    if (text) LocalFree(text);
    if (result.empty()) result = L"Unknown error " + std::to_wstring(code);
    return result;
}

// ---- Sockets ---------------------------------------------------------------------------------

bool SocketsStartup() {
    if (StartupFaultRequested("sockets")) return false;
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void SocketsCleanup() { WSACleanup(); }

int SocketErrorCode() { return WSAGetLastError(); }

int MakeStreamSocketPair(Socket ends[2]) {
    // Windows Sockets has no socket pair: connect two sockets through a listener on the
    // loopback address. The connect completes against the backlog, so one thread suffices.
    ends[0] = ends[1] = kInvalidSocket;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    if (l == INVALID_SOCKET) return WSAGetLastError();
    int len = sizeof addr;
    if (bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR || listen(l, 1) == SOCKET_ERROR ||
        getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) == SOCKET_ERROR) {
        int code = WSAGetLastError();  // before any close changes it
        closesocket(l);
        return code;
    }
    SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
    if (c == INVALID_SOCKET) {
        int code = WSAGetLastError();
        closesocket(l);
        return code;
    }
    SOCKET a = INVALID_SOCKET;
    if (connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR ||
        (a = accept(l, nullptr, nullptr)) == INVALID_SOCKET) {
        int code = WSAGetLastError();
        closesocket(c);
        closesocket(l);
        return code;
    }
    closesocket(l);
    ends[0] = static_cast<Socket>(a);
    ends[1] = static_cast<Socket>(c);
    return 0;
}

bool CloseSocket(Socket s) { return s != kInvalidSocket && closesocket(static_cast<SOCKET>(s)) == 0; }

bool SetSocketNoDelay(Socket s) {
    int one = 1;
    return setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool SetSocketNonBlocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}

int SocketSend(Socket s, const void* data, int len) {
    int n = send(static_cast<SOCKET>(s), static_cast<const char*>(data), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int SocketRecv(Socket s, void* data, int len) {
    int n = recv(static_cast<SOCKET>(s), static_cast<char*>(data), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int SocketPending(Socket s) {
    u_long n = 0;
    return ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) == 0 ? static_cast<int>(n) : -1;
}

uint32_t InetAddr(const char* text) { return inet_addr(text); }
uint32_t HostToNet32(uint32_t v) { return htonl(v); }
uint32_t NetToHost32(uint32_t v) { return ntohl(v); }
uint16_t HostToNet16(uint16_t v) { return htons(v); }

// ---- Per-user profile: HKEY_CURRENT_USER\Software\Quillmark\Vifnet\<section> -------------------

static std::wstring ProfileKey(const wchar_t* section) { return std::wstring(L"Software\\Quillmark\\Vifnet\\") + section; }

std::wstring ProfileGetString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue) {
    std::wstring result = defaultValue ? defaultValue : L"";
    HKEY h;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, ProfileKey(section).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return result;
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(h, key, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_SZ) {
        std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegQueryValueExW(h, key, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes) == ERROR_SUCCESS) {
            value.resize(wcsnlen(value.c_str(), value.size()));
            result = value;
        }
    }
    RegCloseKey(h);
    return result;
}

bool ProfileSetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    HKEY h;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, ProfileKey(section).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
    bool ok = RegSetValueExW(h, key, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok;
}

// ---- Start-up messages and text ------------------------------------------------------------------

void ShowStartupFailure(unsigned stringId) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ShowStartupFailure), &self);
    wchar_t text[256] = L"";
    if (!LoadStringW(self, stringId, text, 256)) {
        const char* fallback = stringId == IDS_SOCKETS_INIT_FAILED ? STR_SOCKETS_INIT_FAILED : STR_FILEMAPS_INIT_FAILED;
        MultiByteToWideChar(CP_ACP, 0, fallback, -1, text, 256);
    }
    MessageBoxW(nullptr, text, L"Vifnet", MB_OK);
}

std::string ToNarrow(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring ToWide(const char* text) {
    if (!text || !*text) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

}  // namespace plat
