// What vifnet-bridge needs from Windows beyond the library: addresses, time, Ctrl-C, waiting and
// TCP sockets. Windows has no kernel TUN/TAP device of its own: the guest side is QEMU's socket.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bridge.h"

namespace bridge {

bool ParseIPv4(const char* text, std::uint8_t out[4]) { return inet_pton(AF_INET, text, out) == 1; }

std::string AddressText(const std::uint8_t a[4]) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, a, text, sizeof text);
}

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

unsigned LastErrorCode() { return GetLastError(); }

bool HasKernelDevice() { return false; }

int OpenKernelDevice(const Options&, const Interface&, std::unique_ptr<GuestSide>&) {
    std::fprintf(stderr, "%s: no kernel TUN/TAP device on Windows: use --qemu tcp:ADDR:PORT\n", kProgram);
    return 1;
}

int DropPrivileges(const Options& o) {
    if (o.user.empty()) return 0;
    std::fprintf(stderr, "%s: --user is for Linux: on Windows, start the bridge as the user it should run as\n", kProgram);
    return 1;
}

namespace {
// Ctrl-C and its kin arrive on a thread of their own: the handler writes their name's index to
// one end of a socket pair and the loop waits on the other.
int g_stop[2] = {-1, -1};
std::atomic<int> g_stopEvent{-1};
const char* const kStopNames[] = {"Ctrl-C", "Ctrl-Break", "closing the console"};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int index = event == CTRL_C_EVENT ? 0 : event == CTRL_BREAK_EVENT ? 1 : 2;
    g_stopEvent.store(index);
    const char byte = 1;
    send(static_cast<SOCKET>(g_stop[0]), &byte, 1, 0);
    return TRUE;
}
}  // namespace

bool CatchStopRequests(Wait& stop) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (vifnet32_socketpair(AF_INET, SOCK_STREAM, 0, g_stop) != 0) return false;
    stop = {g_stop[1], kReadable, 0};
    return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

const char* StopRequestName() {
    const int index = g_stopEvent.load();
    return index < 0 ? nullptr : kStopNames[index];
}

int WaitForAny(Wait* waits, int n, int timeoutMs) {
    WSAPOLLFD fds[4];
    for (int i = 0; i < n; ++i) {
        fds[i].fd = static_cast<SOCKET>(waits[i].fd);
        fds[i].events = static_cast<SHORT>(((waits[i].events & kReadable) ? POLLRDNORM : 0) | ((waits[i].events & kWritable) ? POLLWRNORM : 0));
        fds[i].revents = 0;
    }
    const int ready = WSAPoll(fds, static_cast<ULONG>(n), timeoutMs);
    if (ready < 0) return -1;
    for (int i = 0; i < n; ++i) {
        const SHORT r = fds[i].revents;
        waits[i].ready = ((r & (POLLRDNORM | POLLHUP)) ? kReadable : 0) | ((r & POLLWRNORM) ? kWritable : 0) |
                         ((r & (POLLERR | POLLHUP | POLLNVAL)) ? kBroken : 0);
    }
    return ready;
}

// ---- Stream sockets ------------------------------------------------------------------------------

namespace {
bool MakeNonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
}  // namespace

std::string SocketErrorText() {
    const int code = WSAGetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0, text,
                   sizeof text, nullptr);
    std::string result = text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) result.pop_back();
    return result + " (" + std::to_string(code) + ")";
}

Socket ListenOn(const std::string& where) {
    // Only tcp:ADDR:PORT gets here: the arguments refuse the rest on Windows.
    sockaddr_in in{};
    const std::size_t colon = where.rfind(':');
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<u_short>(std::atoi(where.c_str() + colon + 1)));
    ParseIPv4(where.substr(4, colon - 4).c_str(), reinterpret_cast<std::uint8_t*>(&in.sin_addr));
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || !MakeNonBlocking(s) || bind(s, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0 ||
        listen(s, 1) != 0) {
        std::fprintf(stderr, "%s: listening on %s: %s\n", kProgram, where.c_str(), SocketErrorText().c_str());
        if (s != INVALID_SOCKET) closesocket(s);
        return -1;
    }
    return static_cast<Socket>(s);
}

void ForgetListener(const std::string&) {}

Socket AcceptOne(Socket listener) {
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return -1;
    if (!MakeNonBlocking(s)) {
        closesocket(s);
        return -1;
    }
    return static_cast<Socket>(s);
}

Socket AdoptDescriptor(int fd) {
    std::fprintf(stderr, "%s: fd:%d: an inherited descriptor is for Linux\n", kProgram, fd);
    return -1;
}

void CloseSocket(Socket s) { closesocket(static_cast<SOCKET>(s)); }

long ReceiveSome(Socket s, void* buffer, long size) {
    const int n = recv(static_cast<SOCKET>(s), static_cast<char*>(buffer), static_cast<int>(size), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

long SendSome(Socket s, const void* buffer, long size) {
    const int n = send(static_cast<SOCKET>(s), static_cast<const char*>(buffer), static_cast<int>(size), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

}  // namespace bridge
