// vifnet-bridge: what its parts share. The loop (main.cpp) joins the library's interface to a
// guest side, which is either a kernel TUN/TAP device (kernel_device.cpp, Linux) or a QEMU
// stream socket (qemu_socket.cpp); what differs between systems is in system_*.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vifnet32.h"

namespace bridge {

inline constexpr const char* kProgram = "vifnet-bridge";
inline constexpr int kEthHeader = 14;

struct Options {
    std::string adapter;  // empty: the library's default interface
    bool tap = false;
    bool hasIP = false, hasMask = false;
    std::uint8_t ip[4] = {}, mask[4] = {};
    std::string device = "vfbr%d";
    std::string netns;
    std::string user;  // empty: stays root, with the capabilities it keeps
    std::string qemu;  // empty: the kernel device; else unix:PATH, tcp:ADDR:PORT or fd:N
    int statsSeconds = 0;
    bool debug = false;
};

// The library's interface as the bridge configured it.
struct Interface {
    int fd = -1;
    char name[16] = "";
    std::uint8_t mac[6] = {};
    int mtu = 0;
};

// ---- Messages (main.cpp) ----
int LibraryFailure(const char* what);  // the library's own words; 1, the exit status
int SystemFailure(const char* what, const std::string& detail = "");  // errno's words; 1

// ---- Waiting ----
// What a descriptor is waited for, and what happened to it.
inline constexpr unsigned kReadable = 1, kWritable = 2, kBroken = 4;
struct Wait {
    std::intptr_t fd = -1;  // -1: nothing to wait for
    unsigned events = 0, ready = 0;
};

// ---- The guest side ----
class GuestSide {
public:
    virtual ~GuestSide() = default;
    // What the loop waits for on the guest's behalf.
    virtual Wait WaitFor() const = 0;
    // Called with what the wait found, before any frame moves: false ends the bridge.
    virtual bool Service(unsigned ready) = 0;
    // The next frame from the guest, without waiting: its length, with `frame` pointing at it
    // until the next call; 0 when none waits; -1 on a failure that ends the bridge (reported).
    virtual int Take(const std::uint8_t*& frame) = 0;
    // One frame to the guest; false when it was dropped.
    virtual bool Give(const std::uint8_t* frame, int length) = 0;
    // The end of a turn of frames to the guest.
    virtual void Flush() {}
    // Frames it holds that its descriptor would not announce.
    virtual bool Pending() const { return false; }
    // True once it can carry nothing more and the bridge ends as if asked to stop.
    virtual bool Finished() const { return false; }
    // For the ready line: what the guest side is, and for QEMU the options to use.
    virtual std::string Describe() const = 0;
};

// Makes the guest side for the options: 0 or the exit status of a failure.
int OpenKernelDevice(const Options& o, const Interface& vf, std::unique_ptr<GuestSide>& guest);
int OpenQemuSocket(const Options& o, const Interface& vf, std::unique_ptr<GuestSide>& guest);

// ---- System (system_*.cpp) ----
bool ParseIPv4(const char* text, std::uint8_t out[4]);
std::string AddressText(const std::uint8_t a[4]);
double Now();
// The library's last error code of this thread.
unsigned LastErrorCode();
// Stop requests (SIGINT and SIGTERM, or Ctrl-C) as something to wait for; false on a failure.
bool CatchStopRequests(Wait& stop);
// After the wait said so: the name of the request, or nullptr.
const char* StopRequestName();
// Waits for any of `n`; the count of ready ones, or -1 (errno set; EINTR is 0).
int WaitForAny(Wait* waits, int n, int timeoutMs);
// Gives up what the bridge does not need once everything is open: 0 or the exit status.
int DropPrivileges(const Options& o);
// True on systems with a kernel TUN/TAP device.
bool HasKernelDevice();

// Stream sockets, without blocking once connected. -1: none.
using Socket = std::intptr_t;
// Listens on unix:PATH or tcp:ADDR:PORT; -1 after saying why.
Socket ListenOn(const std::string& where);
// Removes what listening on `where` left behind (a Unix socket's file).
void ForgetListener(const std::string& where);
// A waiting connection, non-blocking; -1 when none.
Socket AcceptOne(Socket listener);
// An already connected descriptor, made non-blocking; -1 after saying why.
Socket AdoptDescriptor(int fd);
void CloseSocket(Socket s);
// Bytes received (> 0); 0 when the peer closed; -1 when nothing waits; -2 on a failure.
long ReceiveSome(Socket s, void* buffer, long size);
// Bytes sent (0 when the socket takes nothing now); -1 on a failure.
long SendSome(Socket s, const void* buffer, long size);
// The last socket failure in words.
std::string SocketErrorText();

}  // namespace bridge
