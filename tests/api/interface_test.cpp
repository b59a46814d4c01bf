// Interfaces as a caller opens, names and closes them: adapter sharing, the failure rows of
// opening, per-process naming, and how requests find their interface.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "test_support.h"

using namespace vtest;

namespace {

const char16_t kLanA[] = u"sim-lan-a", kLanB[] = u"sim-lan-b";

std::string Pid() { return Hex8(ProcessId()); }

// TUNSETIFF on a descriptor: the name it gave, or "" on failure.
std::string Name(int fd, int flags) {
    vifnet32_ifreq req{};
    req.ifr_flags = static_cast<int16_t>(flags);
    if (vifnet32_ioctl(fd, VIFNET32_TUNSETIFF, &req) != 0) return "";
    return req.ifr_name;
}

}  // namespace

TEST(OpenClose, InterfacesOnOneHostAdapterShareItUntilTheLastCloses) {
    CaptureMessages messages;
    for (int flags : {0, 1, 2, 0x08000000, 0x08000001, 0x08000002})
        EXPECT_EQ(vifnet32_close(vifnet32_open("10.1.0.2", flags)), 0) << flags;
    EXPECT_EQ(WrenSimOpenCount(kLanA), 0u);

    const int byIp = vifnet32_open("10.1.0.2", 2), byMac = vifnet32_open("00:1a:2b:3c:4d:5e", 2);
    const int other = vifnet32_open("02-11-22-33-44-55", 2);
    ASSERT_GE(std::min({byIp, byMac, other}), 0);
    EXPECT_NE(byIp, byMac);
    EXPECT_EQ(WrenSimOpenCount(kLanA), 1u);
    EXPECT_EQ(WrenSimOpenCount(kLanB), 1u);
    for (const auto& [fd, lan, left] : {std::tuple{byIp, kLanA, 1u}, {byMac, kLanA, 0u}, {other, kLanB, 0u}}) {
        EXPECT_EQ(vifnet32_close(fd), 0);
        EXPECT_EQ(WrenSimOpenCount(lan), left) << fd;
    }
    EXPECT_TRUE(messages.Take().empty());
}

// The host may give an adapter another address while the library runs: the default-interface
// query and an open by the new address see it, and the open shares the adapter already open.
TEST(OpenClose, AnAdapterIsFoundUnderTheAddressItWasGivenSince) {
    const char16_t kLanD[] = u"sim-lan-d";
    const int before = vifnet32_open("10.4.0.2", 2);
    ASSERT_GE(before, 0);
    const auto moved = LanD(1514, 3), back = LanD();
    ASSERT_TRUE(WrenSimSetAdapter(&moved));
    SetDefaultIFace("10.4.0.3");
    EXPECT_TRUE(Eventually([] { return std::string(vifnet32_get_default_iface()) == "02-44-55-66-77-01"; }));
    SetDefaultIFace("");
    const int after = vifnet32_open("10.4.0.3", 2);
    EXPECT_GE(after, 0);
    EXPECT_EQ(WrenSimOpenCount(kLanD), 1u);
    EXPECT_EQ(vifnet32_close(after), 0);
    EXPECT_EQ(vifnet32_close(before), 0);
    ASSERT_TRUE(WrenSimSetAdapter(&back));
    EXPECT_TRUE(Eventually([] {
        const int fd = vifnet32_open("10.4.0.2", 2);
        return fd >= 0 && vifnet32_close(fd) == 0;
    }));
}

TEST(OpenClose, DriverThatCannotOpenTheAdapterLeavesNothingBehind) {
    CaptureMessages messages;
    WrenSimFail(WRENSIM_OP_OPEN_ADAPTER, 0, 1, 13, 5);
    EXPECT_EQ(vifnet32_open("10.1.0.2", 2), -1);
    EXPECT_EQ(Err(), std::pair(13, 5u));
    EXPECT_TRUE(
        Begin(messages.Take(), {"** CVifnet32App::CreateAdapter(10.1.0.2): WrenPackOpenAdapter(sim-lan-a) failed; rc=5: ",
                                "** CVifnet32App::Open(10.1.0.2): CreateAdapter() failed for process " + Pid() + "; rc=5: "}));
    EXPECT_EQ(WrenSimOpenCount(kLanA), 0u);
    EXPECT_EQ(vifnet32_close(vifnet32_open("10.1.0.2", 2)), 0);
}

#if !defined(_WIN32)
// Out of descriptors for the interface's socket pair (Windows cannot be made to run out of
// sockets), Open fails with the interface's pair and leaves the adapter open for reuse.
TEST(OpenClose, InterfaceThatCannotBeBuiltLeavesItsAdapterOpenForReuse) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int free = dup(0);
    close(free);
    CaptureMessages messages;
    std::string failure;
    std::pair<int, unsigned> failedWith;
    for (int spare = 0; spare < 32 && failure.empty(); ++spare) {
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(free + spare);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        const int fd = vifnet32_open("192.168.7.1", 2);
        failedWith = {errno, LastError()};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        ASSERT_EQ(fd, -1) << "opened with " << spare << " spare descriptors";
        auto lines = messages.Take();
        if (!lines.empty() && lines.back().find("new CVifnet() failed") != std::string::npos) failure = lines.back();
    }
    EXPECT_EQ(failedWith, std::make_pair(9, 6u));
    EXPECT_TRUE(StartsWith(failure, "** CVifnet32App::Open(192.168.7.1): new CVifnet() failed for process " + Pid() + "; rc=6: "))
        << failure;
    EXPECT_EQ(WrenSimOpenCount(kLanB), 1u);
    const int fd = vifnet32_open("02:11:22:33:44:55", 2);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(WrenSimOpenCount(kLanB), 1u);
    EXPECT_EQ(vifnet32_close(fd), 0);
    EXPECT_EQ(WrenSimOpenCount(kLanB), 0u);
}
#endif

TEST(Naming, UnitsCountPerPrefixAndTheModeIsChosenOnce) {
    CaptureMessages messages;
    const int t1 = vifnet32_open("10.1.0.2", 2), t2 = vifnet32_open("10.1.0.2", 2), p1 = vifnet32_open("10.1.0.2", 2);
    ASSERT_GE(std::min({t1, t2, p1}), 0);
    // Unnamed: the empty name, terminated at both ends of the field.
    vifnet32_ifreq req{};
    std::memset(req.ifr_name, 'x', sizeof req.ifr_name);
    ASSERT_EQ(vifnet32_ioctl(t1, VIFNET32_SIOCGIFNAME, &req), 0);
    EXPECT_EQ(req.ifr_name[0], 0);
    EXPECT_EQ(req.ifr_name[15], 0);

    // Higher bits of the flags are ignored; the name the caller wrote is not used.
    std::strcpy(req.ifr_name, "mine");
    req.ifr_flags = 0x1001;
    ASSERT_EQ(vifnet32_ioctl(t1, VIFNET32_TUNSETIFF, &req), 0);
    const std::string first = req.ifr_name, second = Name(t2, VIFNET32_IFF_TUN), tap = Name(p1, VIFNET32_IFF_TAP);
    ASSERT_TRUE(StartsWith(first, "tun")) << first;
    EXPECT_EQ(second, "tun" + std::to_string(std::stoi(first.substr(3)) + 1));
    ASSERT_TRUE(StartsWith(tap, "tap")) << tap;

    // The mode is chosen once; a refused request leaves the record as it was.
    for (int flags : {VIFNET32_IFF_TAP, 0, 3}) {
        std::strcpy(req.ifr_name, "keep");
        req.ifr_flags = static_cast<int16_t>(flags);
        EXPECT_EQ(vifnet32_ioctl(flags ? t1 : t2, VIFNET32_TUNSETIFF, &req), -1);
        EXPECT_EQ(Err(), std::pair(22, 87u));
        EXPECT_STREQ(req.ifr_name, "keep");
    }
    auto lines = messages.Take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "** CVifnet(" + first + ")::SetVifnetFlags: Mode already defined\n");
    EXPECT_EQ(lines[1], "** CVifnet(" + second + ")::SetVifnetFlags: Invalid/unsupported flags\n");

    // By descriptor, the name it was given (requests by name alone: the stress test's).
    ASSERT_EQ(vifnet32_ioctl(t2, VIFNET32_SIOCGIFNAME, &req), 0);
    EXPECT_EQ(req.ifr_name, second);

    for (int fd : {t1, t2, p1})
        EXPECT_EQ(vifnet32_close(fd), 0);
}
