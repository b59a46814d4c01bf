// Finds the capture library at run time, so that the driver still loads (and can say why it
// cannot capture) on a host where none is installed.
#include "pcap_api.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace wp {
namespace {

enum class Need { kRequired, kOptional, kNotInWines };

// GetProcAddress gives one generic pointer type; each slot's own type says what the library
// function is. Going through void(*)() tells the compiler that the conversion is meant.
template <typename F>
bool Bind(HMODULE library, const char* name, F& slot, Need need, bool wine, std::string& missing) {
    FARPROC proc = (need == Need::kNotInWines && wine) ? nullptr : GetProcAddress(library, name);
    slot = reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
    if (proc || need != Need::kRequired) return true;
    missing += missing.empty() ? name : std::string(", ") + name;
    return false;
}

// Wine's own build of the library exports calls that it does not implement, and calling one
// ends the process. Wine marks its builtin DLLs right after the DOS header, so the mark tells its
// library from any other one, which implements what it exports, under Wine or not.
bool WinesOwnLibrary(HMODULE library) {
    static const char kMark[] = "Wine builtin DLL";
    return std::memcmp(reinterpret_cast<const char*>(library) + 0x40, kMark, sizeof kMark - 1) == 0;
}

// Where the packet-capture package puts the library: System32\Npcap, off the search path. A full
// path with the altered search order also finds its companion DLL in that directory. Failing
// that, the library's plain name, searched in the application's directory and System32 only: an
// older package installed it in System32 (as Wine provides its own), and an application may ship
// one beside itself, but a copy in the working directory or on PATH is never picked up. Systems
// that predate the restricted search flags reject them, and get the ordinary search instead.
HMODULE LoadLibraryFile() {
    // No "cannot find" or "bad image" dialog may stop a caller's process on a headless machine.
    DWORD oldMode = 0;
    BOOL modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE library = nullptr;
    wchar_t path[MAX_PATH];
    const wchar_t kSubPath[] = L"\\Npcap\\wpcap.dll";
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length > 0 && length + sizeof(kSubPath) / sizeof(wchar_t) <= MAX_PATH) {
        lstrcpyW(path + length, kSubPath);
        library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (!library) {
        library = LoadLibraryExW(L"wpcap.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        if (!library && GetLastError() == ERROR_INVALID_PARAMETER) library = LoadLibraryExW(L"wpcap.dll", nullptr, 0);
    }
    if (modeSet) SetThreadErrorMode(oldMode, nullptr);
    return library;
}

struct Loaded {
    PcapApi api{};
    std::string why;  // empty once the library is ready
};

Loaded Load() {
    Loaded loaded;
    HMODULE library = LoadLibraryFile();
    if (!library) {
        loaded.why = "wpcap.dll not found (install the packet-capture package)";
        return loaded;
    }
    const bool wine = WinesOwnLibrary(library);
    constexpr Need R = Need::kRequired, O = Need::kOptional, W = Need::kNotInWines;
    PcapApi& a = loaded.api;
    std::string missing;
    bool ok = true;
    ok &= Bind(library, "pcap_findalldevs", a.findalldevs, R, wine, missing);
    ok &= Bind(library, "pcap_freealldevs", a.freealldevs, R, wine, missing);
    ok &= Bind(library, "pcap_create", a.create, R, wine, missing);
    ok &= Bind(library, "pcap_set_snaplen", a.set_snaplen, R, wine, missing);
    ok &= Bind(library, "pcap_set_promisc", a.set_promisc, R, wine, missing);
    ok &= Bind(library, "pcap_set_timeout", a.set_timeout, R, wine, missing);
    ok &= Bind(library, "pcap_set_buffer_size", a.set_buffer_size, R, wine, missing);
    ok &= Bind(library, "pcap_set_immediate_mode", a.set_immediate_mode, O, wine, missing);
    ok &= Bind(library, "pcap_activate", a.activate, R, wine, missing);
    ok &= Bind(library, "pcap_setfilter", a.setfilter, R, wine, missing);
    ok &= Bind(library, "pcap_setnonblock", a.setnonblock, R, wine, missing);
    ok &= Bind(library, "pcap_dispatch", a.dispatch, R, wine, missing);
    ok &= Bind(library, "pcap_next_ex", a.next_ex, R, wine, missing);
    ok &= Bind(library, "pcap_sendpacket", a.sendpacket, R, wine, missing);
    ok &= Bind(library, "pcap_geterr", a.geterr, R, wine, missing);
    ok &= Bind(library, "pcap_statustostr", a.statustostr, R, wine, missing);
    ok &= Bind(library, "pcap_close", a.close, R, wine, missing);
    ok &= Bind(library, "pcap_breakloop", a.breakloop, R, wine, missing);
    ok &= Bind(library, "pcap_get_selectable_fd", a.get_selectable_fd, O, wine, missing);
    ok &= Bind(library, "pcap_setbuff", a.setbuff, R, wine, missing);
    ok &= Bind(library, "pcap_setmintocopy", a.setmintocopy, W, wine, missing);
    ok &= Bind(library, "pcap_getevent", a.getevent, W, wine, missing);
    ok &= Bind(library, "pcap_sendqueue_alloc", a.sendqueue_alloc, W, wine, missing);
    ok &= Bind(library, "pcap_sendqueue_destroy", a.sendqueue_destroy, W, wine, missing);
    ok &= Bind(library, "pcap_sendqueue_queue", a.sendqueue_queue, W, wine, missing);
    ok &= Bind(library, "pcap_sendqueue_transmit", a.sendqueue_transmit, W, wine, missing);
    // A queue the driver could allocate but not send (or free) is worse than none.
    if (!a.sendqueue_alloc || !a.sendqueue_destroy || !a.sendqueue_queue || !a.sendqueue_transmit) {
        a.sendqueue_alloc = nullptr;
        a.sendqueue_destroy = nullptr;
        a.sendqueue_queue = nullptr;
        a.sendqueue_transmit = nullptr;
    }
    if (!ok) {
        loaded.why = "wpcap.dll lacks " + missing + " (install a newer packet-capture package)";
        FreeLibrary(library);
        return loaded;
    }
    // The library stays loaded for the life of the process: handles may outlive any caller.
    return loaded;
}

}  // namespace

const PcapApi* LoadPcap(std::string& why) {
    static const Loaded loaded = Load();
    if (!loaded.why.empty()) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace wp
