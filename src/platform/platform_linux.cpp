// Linux implementation of the platform layer.
#include <atomic>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <new>
#include <sstream>
#include <vector>

#include "platform/platform.h"
#include "platform/resource_strings.h"

namespace plat {

// ---- Locks -------------------------------------------------------------------------------------

#if defined(__SANITIZE_THREAD__)

// ThreadSanitizer knows the lock order and the hand-over of the system's mutex, and learns lock
// order only from blocking acquisitions: a recursive mutex, always locked without spinning.
static_assert(sizeof(pthread_mutex_t) <= 64, "mutex storage");

static pthread_mutex_t* Mutex(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }

CCriticalSection::CCriticalSection(unsigned spinCount) : m_nSpinCount(spinCount) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    new (m_storage) pthread_mutex_t;
    pthread_mutex_init(Mutex(m_storage), &attr);
    pthread_mutexattr_destroy(&attr);
}

CCriticalSection::~CCriticalSection() { pthread_mutex_destroy(Mutex(m_storage)); }
void CCriticalSection::Enter() { pthread_mutex_lock(Mutex(m_storage)); }
void CCriticalSection::Leave() { pthread_mutex_unlock(Mutex(m_storage)); }

#else

// A recursive lock on a futex word. The read and write paths take three of these per frame, so
// the uncontended case is kept to one compare-and-swap to enter and one exchange to leave; a
// thread that has spun in vain sleeps in the kernel until the holder leaves.
namespace {

// Spin counts in the thousands suit a pause of a few cycles; on current processors one lasts
// over a hundred, so 4000 of them keep a thread busy for some 150 µs. The reader thread's
// hand-over makes that the common case: it wakes the reading thread while it holds the adapter
// lock, the woken thread often runs on the same processor and spins while the holder waits to
// run. Measured end to end, a ping through the library took 120 µs longer spinning 4000 times
// than spinning 400 (and no longer at 400 than at 0), so the count is scaled down by this much.
constexpr unsigned kPauseScale = 10;

// Spinning only pays while the holder runs on another processor: with one processor to run on,
// a spinning thread only keeps the holder from finishing. The count is then ignored, as the
// critical sections of Windows ignore it on a single processor.
unsigned SpinsFor(unsigned spinCount) {
    cpu_set_t cpus;
    const bool alone = sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) <= 1;
    return alone ? 0 : spinCount / kPauseScale;
}

struct FutexLock {
    std::atomic<std::uint32_t> state;   // 0 free, 1 held, 2 held and a thread may be asleep on it
    std::atomic<std::uintptr_t> owner;  // the holder's pthread_self(), 0 when free
    unsigned depth;                     // the holder's entries; only the holder touches it
};
static_assert(sizeof(FutexLock) <= 64, "lock storage");
static_assert(sizeof(std::atomic<std::uint32_t>) == 4 && std::atomic<std::uint32_t>::is_always_lock_free, "futex word");

FutexLock& Futex(unsigned char* storage) { return *std::launder(reinterpret_cast<FutexLock*>(storage)); }

// The futex calls fail harmlessly (EAGAIN: the word changed; EINTR): the caller looks again.
// Callers read errno after library calls, so it is kept.
void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
    const int saved = errno;
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
    errno = saved;
}

void FutexWakeOne(std::atomic<std::uint32_t>& word) {
    const int saved = errno;
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    errno = saved;
}

}  // namespace

CCriticalSection::CCriticalSection(unsigned spinCount) : m_nSpinCount(SpinsFor(spinCount)) {
    FutexLock* lock = new (m_storage) FutexLock;
    lock->state.store(0, std::memory_order_relaxed);
    lock->owner.store(0, std::memory_order_relaxed);
    lock->depth = 0;
}

CCriticalSection::~CCriticalSection() { Futex(m_storage).~FutexLock(); }

void CCriticalSection::Enter() {
    FutexLock& lock = Futex(m_storage);
    const auto self = static_cast<std::uintptr_t>(pthread_self());
    // Only this thread ever stores its own id, so a stale value can never equal it.
    if (lock.owner.load(std::memory_order_relaxed) == self) {
        ++lock.depth;
        return;
    }
    std::uint32_t free = 0;
    bool taken = lock.state.compare_exchange_strong(free, 1, std::memory_order_acquire, std::memory_order_relaxed);
    // Spin a while before sleeping: the library's locks are held for a few instructions.
    for (unsigned i = 0; !taken && i < m_nSpinCount; ++i) {
        __builtin_ia32_pause();
        free = 0;
        taken = lock.state.load(std::memory_order_relaxed) == 0 &&
                lock.state.compare_exchange_weak(free, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    if (!taken) {
        // Marked as possibly having a sleeper, the lock wakes one when it is left. A thread that
        // takes it this way keeps the mark, since others may still sleep.
        while (lock.state.exchange(2, std::memory_order_acquire) != 0)
            FutexWait(lock.state, 2);
    }
    lock.owner.store(self, std::memory_order_relaxed);
    lock.depth = 1;
}

void CCriticalSection::Leave() {
    FutexLock& lock = Futex(m_storage);
    if (--lock.depth != 0) return;
    lock.owner.store(0, std::memory_order_relaxed);
    if (lock.state.exchange(0, std::memory_order_release) == 2) FutexWakeOne(lock.state);
}

#endif

// ---- Events: an eventfd is readable while its counter is nonzero ------------------------------

CEvent::CEvent() : m_handle(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CEvent::~CEvent() {
    if (m_handle >= 0) close(m_handle);
}

bool CEvent::Set() {
    uint64_t one = 1;
    return m_handle >= 0 && write(m_handle, &one, sizeof one) == sizeof one;
}

bool CEvent::Reset() {
    if (m_handle < 0) return false;
    // One read takes the whole counter (not a semaphore); on an empty one it fails with EAGAIN.
    // Callers read errno after library calls, and ResetEvent leaves it alone on Windows.
    const int saved = errno;
    uint64_t value;
    if (read(m_handle, &value, sizeof value) != sizeof value && errno != EAGAIN) return false;
    errno = saved;
    return true;
}

DWORD WaitForAny(const WaitHandle* handles, unsigned count, DWORD timeoutMs) {
    pollfd fds[16];
    if (count == 0 || count > 16) return kWaitFailed;
    for (unsigned i = 0; i < count; ++i) {
        // poll() skips negative descriptors, which would turn a wait on kNoWaitHandle into a
        // timeout, or a hang with kInfinite, where Windows fails the wait.
        if (handles[i] < 0) return kWaitFailed;
        fds[i] = pollfd{handles[i], POLLIN, 0};
    }
    const DWORD start = GetTickCount();
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            DWORD spent = GetTickCount() - start;
            wait = spent >= timeoutMs ? 0 : static_cast<int>(std::min<DWORD>(timeoutMs - spent, 0x7FFFFFFF));
        }
        int n = poll(fds, count, wait);
        if (n > 0) {
            for (unsigned i = 0; i < count; ++i) {
                if (fds[i].revents & POLLIN) return kWaitObject0 + i;
            }
            return kWaitFailed;  // POLLERR/POLLNVAL: not a valid handle
        }
        if (n == 0) return kWaitTimeout;
        if (errno != EINTR) return kWaitFailed;
    }
}

// ---- Threads and time ------------------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadProc proc;
    void* arg;
    pthread_t thread;
};

void* ThreadTrampoline(void* p) {
    auto* start = static_cast<ThreadStart*>(p);
    start->proc(start->arg);
    return nullptr;
}
}  // namespace

CThread::~CThread() { Join(); }

bool CThread::Start(ThreadProc proc, void* arg) {
    if (m_handle) return false;
    auto* start = new (std::nothrow) ThreadStart{proc, arg, {}};
    if (!start) return false;
    if (pthread_create(&start->thread, nullptr, ThreadTrampoline, start) != 0) {
        delete start;
        return false;
    }
    m_handle = start;
    return true;
}

bool CThread::Join() {
    if (!m_handle) return true;
    auto* start = static_cast<ThreadStart*>(m_handle);
    bool ok = pthread_join(start->thread, nullptr) == 0;
    delete start;
    m_handle = nullptr;
    return ok;
}

DWORD GetTickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void Sleep(DWORD ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Every descriptor call looks up the calling process's tables, and getpid is a system call: the
// id is kept, and forgotten in a forked child, whose id differs.
namespace {
std::atomic<DWORD> g_processId{0};
void ForgetProcessId() { g_processId.store(0, std::memory_order_relaxed); }
}  // namespace

DWORD GetCurrentProcessId() {
    DWORD pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, &ForgetProcessId);
        (void)registered;
        pid = static_cast<DWORD>(getpid());
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}
DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

// ---- Last error ------------------------------------------------------------------------------

// Linux has no per-thread Windows error code: the library keeps its own.
static thread_local DWORD t_dwLastError = 0;

DWORD GetLastErrorCode() { return t_dwLastError; }
void SetLastErrorCode(DWORD code) { t_dwLastError = code; }
void SetErrno(int value) { errno = value; }
int GetErrno() { return errno; }

std::wstring SystemErrorText(DWORD code) {
    // The texts Windows gives for the codes the library reports, so that messages read the
    // same on both platforms.
    static const struct {
        DWORD code;
        const wchar_t* text;
    } kTexts[] = {
        {0, L"The operation completed successfully."},
        {2, L"The system cannot find the file specified."},
        {5, L"Access is denied."},
        {6, L"The handle is invalid."},
        {8, L"Not enough memory resources are available to process this command."},
        {14, L"Not enough memory resources are available to complete this operation."},
        {19, L"The media is write protected."},
        {31, L"A device attached to the system is not functioning."},
        {50, L"The request is not supported."},
        {55, L"The specified network resource or device is no longer available."},
        {68, L"The name limit for the local computer network adapter card was exceeded."},
        {87, L"The parameter is incorrect."},
        {111, L"The file name is too long."},
        {122, L"The data area passed to a system call is too small."},
        {170, L"The requested resource is in use."},
        {183, L"Cannot create a file when that file already exists."},
        {232, L"The pipe is being closed."},
        {258, L"The wait operation timed out."},
        {259, L"No more data is available."},
        {126, L"The specified module could not be found."},
        {1168, L"Element not found."},
        {1231, L"The network location cannot be reached."},
        {10013, L"An attempt was made to access a socket in a way forbidden by its access permissions."},
        {10022, L"An invalid argument was supplied."},
        {10024, L"Too many open sockets."},
        {10041,
         L"A protocol was specified in the socket function call that does not support the semantics of the socket type "
         L"requested."},
        {10043, L"The requested protocol has not been configured into the system, or no implementation for it exists."},
        {10040,
         L"A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or "
         L"the buffer used to receive a datagram into was smaller than the datagram itself."},
        {10047, L"An address incompatible with the requested protocol was used."},
        {10048, L"Only one usage of each socket address (protocol/network address/port) is normally permitted."},
        {10049, L"The requested address is not valid in its context."},
        {10050, L"A socket operation encountered a dead network."},
        {10051, L"A socket operation was attempted to an unreachable network."},
        {10054, L"An existing connection was forcibly closed by the remote host."},
        {10055,
         L"An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue "
         L"was full."},
        {10060,
         L"A connection attempt failed because the connected party did not properly respond after a period of time, or "
         L"established connection failed because connected host has failed to respond."},
        {10061, L"No connection could be made because the target machine actively refused it."},
    };
    for (const auto& t : kTexts) {
        if (t.code == code) return t.text;
    }
    return L"Unknown error " + std::to_wstring(code);
}

// ---- Sockets ---------------------------------------------------------------------------------

bool SocketsStartup() { return !StartupFaultRequested("sockets"); }
void SocketsCleanup() {}

int SocketErrorCode() {
    switch (errno) {
        case EINTR:
            return VF_WSAEINTR;
        case EBADF:
            return VF_WSAEBADF;
        case EACCES:
        case EPERM:
            return VF_WSAEACCES;
        case EFAULT:
            return VF_WSAEFAULT;
        case EINVAL:
            return VF_WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return VF_WSAEMFILE;
        case EAGAIN:
            return VF_WSAEWOULDBLOCK;
        case ENOTSOCK:
            return VF_WSAENOTSOCK;
        case EPROTOTYPE:
            return VF_WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return VF_WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return VF_WSAEPROTONOSUPPORT;
        case EOPNOTSUPP:
            return VF_WSAEOPNOTSUPP;
        case EAFNOSUPPORT:
            return VF_WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return VF_WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return VF_WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return VF_WSAENETDOWN;
        case ENETUNREACH:
            return VF_WSAENETUNREACH;
        case ECONNABORTED:
            return VF_WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return VF_WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return VF_WSAENOBUFS;
        case ENOTCONN:
            return VF_WSAENOTCONN;
        case ETIMEDOUT:
            return VF_WSAETIMEDOUT;
        case ECONNREFUSED:
            return VF_WSAECONNREFUSED;
        default:
            return VF_WSAEINVAL;
    }
}

int MakeStreamSocketPair(Socket ends[2]) {
    // A native connected pair: no listening port, and it works in a network namespace whose
    // loopback interface is down.
    ends[0] = ends[1] = kInvalidSocket;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return SocketErrorCode();
    ends[0] = sv[0];
    ends[1] = sv[1];
    return 0;
}

bool CloseSocket(Socket s) { return s >= 0 && close(static_cast<int>(s)) == 0; }

bool SetSocketNoDelay(Socket s) {
    int domain = 0;
    socklen_t len = sizeof domain;
    if (getsockopt(static_cast<int>(s), SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
    if (domain == AF_UNIX) return true;  // nothing coalesces sends there
    int one = 1;
    return setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool SetSocketNonBlocking(Socket s) {
    int flags = fcntl(static_cast<int>(s), F_GETFL);
    return flags >= 0 && fcntl(static_cast<int>(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

int SocketSend(Socket s, const void* data, int len) {
    ssize_t n = send(static_cast<int>(s), data, static_cast<size_t>(len), MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
}

int SocketRecv(Socket s, void* data, int len) {
    ssize_t n = recv(static_cast<int>(s), data, static_cast<size_t>(len), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int SocketPending(Socket s) {
    int n = 0;
    return ioctl(static_cast<int>(s), FIONREAD, &n) == 0 ? n : -1;
}

uint32_t InetAddr(const char* text) { return inet_addr(text); }
uint32_t HostToNet32(uint32_t v) { return htonl(v); }
uint32_t NetToHost32(uint32_t v) { return ntohl(v); }
uint16_t HostToNet16(uint16_t v) { return htons(v); }

// ---- Per-user profile: $XDG_CONFIG_HOME/Quillmark/Vifnet.ini ------------------------------------

namespace {

std::string ProfileDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/Quillmark";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/Quillmark";
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Section and key names compare without regard to case, as the Windows profile does.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Index of the line holding `key` in `section` (or -1), and in *sectionEnd where the section's
// lines end (-1 when the section is missing).
long FindKey(const std::vector<std::string>& lines, const std::string& section, const std::string& key, long* sectionEnd) {
    bool inSection = false;
    *sectionEnd = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string t = Trim(lines[i]);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t.front() == '[' && t.back() == ']') {
            inSection = SameName(Trim(t.substr(1, t.size() - 2)), section);
            if (inSection) *sectionEnd = static_cast<long>(i) + 1;
            continue;
        }
        if (!inSection) continue;
        *sectionEnd = static_cast<long>(i) + 1;
        size_t eq = t.find('=');
        if (eq != std::string::npos && SameName(Trim(t.substr(0, eq)), key)) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

std::wstring ProfileGetString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue) {
    std::vector<std::string> lines = ReadLines(ProfileDir() + "/Vifnet.ini");
    long end;
    long at = FindKey(lines, ToNarrow(section), ToNarrow(key), &end);
    if (at < 0) return defaultValue ? defaultValue : L"";
    const std::string& line = lines[static_cast<size_t>(at)];
    std::string value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return ToWide(value.c_str());
}

bool ProfileSetString(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    std::string dir = ProfileDir();
    std::string parent = dir.substr(0, dir.rfind('/'));
    mkdir(parent.c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    std::string path = dir + "/Vifnet.ini";
    std::vector<std::string> lines = ReadLines(path);
    std::string k = ToNarrow(key), s = ToNarrow(section);
    long end;
    long at = FindKey(lines, s, k, &end);
    std::string entry = k + "=" + ToNarrow(value);
    if (at >= 0) {
        lines[static_cast<size_t>(at)] = entry;
    } else if (end >= 0) {
        lines.insert(lines.begin() + end, entry);
    } else {
        lines.push_back("[" + s + "]");
        lines.push_back(entry);
    }
    std::ofstream out(path, std::ios::trunc);
    for (const auto& line : lines)
        out << line << '\n';
    return static_cast<bool>(out.flush());
}

// ---- Start-up messages and text ------------------------------------------------------------------

void ShowStartupFailure(unsigned stringId) {
    const char* text = stringId == IDS_SOCKETS_INIT_FAILED ? STR_SOCKETS_INIT_FAILED : STR_FILEMAPS_INIT_FAILED;
    std::fprintf(stderr, "Vifnet: %s\n", text);
}

std::string ToNarrow(const std::wstring& text) {
    // UTF-8.
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring ToWide(const char* text) {
    std::wstring out;
    if (!text) return out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t c = *p++;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (more) c &= 0x3F >> more;
        for (; more && (*p & 0xC0) == 0x80; --more)
            c = (c << 6) | (*p++ & 0x3F);
        out.push_back(more ? L'\uFFFD' : static_cast<wchar_t>(c));
    }
    return out;
}

}  // namespace plat
