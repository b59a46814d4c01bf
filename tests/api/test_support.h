// What the caller-side tests need beyond the exports: collecting the library's messages, the
// thread's last error code, sockets and the per-user profile, the same way on both platforms.
// The unit tests take the simulated adapter record and the reference checksum from here too.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#endif

#include <gtest/gtest.h>

#include "vifnet32.h"
#include "wrensim.h"

namespace vtest {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Collects every line the library writes, in order, for the life of the object.
class CaptureMessages {
public:
    CaptureMessages() {
        vifnet32_set_debug_output_func(&Sink);
        Take();
    }
    ~CaptureMessages() { vifnet32_set_debug_output_func(nullptr); }
    static Lines Take() {
        std::lock_guard<std::mutex> lock(s_lock);
        return std::exchange(s_lines, {});
    }

private:
    static void Sink(const char* text) {
        std::lock_guard<std::mutex> lock(s_lock);
        s_lines.emplace_back(text);
    }
    static inline std::mutex s_lock;
    static inline Lines s_lines;
};

inline bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Whether there are as many lines as prefixes, each line beginning with its own.
inline testing::AssertionResult Begin(const Lines& lines, const Lines& prefixes) {
    bool ok = lines.size() == prefixes.size();
    for (size_t i = 0; ok && i < lines.size(); ++i) ok = StartsWith(lines[i], prefixes[i]);
    return ok ? testing::AssertionSuccess() : testing::AssertionFailure() << testing::PrintToString(lines);
}

#if defined(_WIN32)
using Socket = SOCKET;
inline unsigned LastError() { return GetLastError(); }
inline unsigned ProcessId() { return GetCurrentProcessId(); }
inline void CloseSocket(int s) { closesocket(static_cast<SOCKET>(s)); }
#else
using Socket = int;
inline unsigned LastError() { return vifnet32_get_last_error(); }
inline unsigned ProcessId() { return static_cast<unsigned>(getpid()); }
inline void CloseSocket(int s) { close(s); }
#endif

// The thread's error pair: errno and the last error code.
inline std::pair<int, unsigned> Err() { return {errno, LastError()}; }

inline std::string Hex8(unsigned v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

inline int SendBytes(int s, const char* data, int len) { return static_cast<int>(send(static_cast<Socket>(s), data, len, 0)); }
inline int RecvBytes(int s, char* data, int len) { return static_cast<int>(recv(static_cast<Socket>(s), data, len, 0)); }

// Waits up to timeoutMs for the socket to become readable.
inline bool Readable(int s, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<Socket>(s), &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(s + 1, &set, nullptr, nullptr, &tv) == 1;
}

// Sets (or, with an empty value, clears) the per-user DefaultIFace setting.
inline void SetDefaultIFace(const std::string& value) {
#if defined(_WIN32)
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Quillmark\\Vifnet\\Settings", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    if (value.empty()) {
        RegDeleteValueA(key, "DefaultIFace");
    } else {
        RegSetValueExA(key, "DefaultIFace", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    RegCloseKey(key);
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string dir = (xdg && *xdg ? std::string(xdg) : std::string(home ? home : ".") + "/.config") + "/Quillmark";
    std::system(("mkdir -p '" + dir + "'").c_str());
    std::ofstream(dir + "/Vifnet.ini", std::ios::trunc) << "; written by the tests\n[Settings]\nDefaultIFace = " << value << "\n";
#endif
}

// The one's-complement sum of big-endian words, added to `s`, folded to 16 bits: the textbook
// form the library's checksums are held to.
inline uint32_t Sum(const uint8_t* p, size_t n, uint64_t s = 0) {
    for (size_t i = 0; i < n; i += 2) s += uint32_t(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return uint32_t(s);
}

// A host adapter record for the simulated driver.
inline ADAPTER_INFO_LIST_ENTRY MakeAdapter(const std::u16string& name, const uint8_t (&mac)[6], const uint8_t (&ip)[4],
                                           const uint8_t (&mask)[4], uint32_t maxFrame = 1514) {
    ADAPTER_INFO_LIST_ENTRY entry{};
    name.copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
    name.copy(entry.szDescription, WP_ADAPTER_DESCRIPTION_CHARS - 1);
    name.copy(entry.szConnectionName, WP_ADAPTER_CONNECTION_CHARS - 1);
    std::copy(mac, mac + 6, entry.MACAddr);
    std::memcpy(&entry.IPAddr, ip, 4);
    std::memcpy(&entry.IPMask, mask, 4);
    entry.nMaxFrameSize = maxFrame;
    entry.nIfIndex = 7;
    return entry;
}

// sim-lan-d, 02:44:55:66:77:01, 10.4.0.<host>/24: the adapter whose address and frame size the
// tests change, as the host may change them while the library runs.
inline ADAPTER_INFO_LIST_ENTRY LanD(uint32_t maxFrame = 1514, uint8_t host = 2) {
    return MakeAdapter(u"sim-lan-d", {0x02, 0x44, 0x55, 0x66, 0x77, 0x01}, {10, 4, 0, host}, {255, 255, 255, 0}, maxFrame);
}

// Send number `index` of the adapter, which must have gone out as `kind`.
inline Bytes Sent(const char16_t* lan, uint32_t index, int kind = WRENSIM_SENT_FRAME) {
    Bytes b(65536);
    uint32_t length = 0;
    EXPECT_EQ(WrenSimGetSent(lan, index, b.data(), static_cast<uint32_t>(b.size()), &length), kind) << index;
    b.resize(std::min<size_t>(length, b.size()));
    return b;
}

// Tries every 100 ms for some 2.5 s until `attempt` succeeds: the library reads the host's
// adapters again at most once a second, and another test may just have made it do so.
template <class Attempt>
bool Eventually(Attempt attempt) {
    for (int i = 0; i < 25; ++i) {
        if (attempt()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return attempt();
}

// One interface of the given type (named by TUNSETIFF) on the adapter of `gateway`, closed at
// the end.
class Iface {
public:
    explicit Iface(int type, int openFlags = VIFNET32_O_RDWR, const char* gateway = "10.1.0.2")
        : fd(vifnet32_open(gateway, openFlags)) {
        EXPECT_GE(fd, 0) << gateway;
        vifnet32_ifreq req{};
        req.ifr_flags = static_cast<uint16_t>(type);
        EXPECT_EQ(vifnet32_ioctl(fd, VIFNET32_TUNSETIFF, &req), 0);
        name = req.ifr_name;
    }
    ~Iface() { vifnet32_close(fd); }
    Iface(const Iface&) = delete;
    Iface& operator=(const Iface&) = delete;
    // A request whose record, named after the interface, holds `size` bytes of `data` at `at`.
    int Set(int code, const void* data, size_t size, size_t at = 16) const {
        vifnet32_ifreq rec{};
        std::strcpy(rec.ifr_name, name.c_str());
        std::memcpy(reinterpret_cast<uint8_t*>(&rec) + at, data, size);
        return vifnet32_ioctl(fd, code, &rec);
    }
    int SetValue(int code, uint32_t v) const { return Set(code, &v, 4); }
    int SetFlags(int flags) const { return SetValue(VIFNET32_SIOCSIFFLAGS, static_cast<uint16_t>(flags)); }
    int Write(const Bytes& b) const { return vifnet32_write(fd, b.data(), static_cast<int>(b.size())); }
    // The record a getter fills in, asked by the interface's name.
    vifnet32_ifreq Get(int code) const {
        vifnet32_ifreq rec{};
        std::strcpy(rec.ifr_name, name.c_str());
        EXPECT_EQ(vifnet32_ioctl(fd, code, &rec), 0) << code;
        return rec;
    }
    uint32_t Value(int code) const { return Get(code).ifr_ifru.ifru_value; }
    VIFNET32_STATS Stats() const {
        VIFNET32_STATS s{};
        s.dwStructSize = sizeof s;
        EXPECT_EQ(vifnet32_get_stats(fd, &s), 0);
        return s;
    }
    // "** CVifnet(<name>)::<op>: <rest>"
    std::string Msg(const std::string& op, const std::string& rest) const { return "** CVifnet(" + name + ")::" + op + ": " + rest; }

    int fd;
    std::string name;
};

}  // namespace vtest
