// The link-level neighbour table through time given by the test: each row is one use of an
// address, or an answer for it, at a moment, with what the table must say.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/neighbour_table.h"

namespace {

using V = CNeighbourTable::Verdict;
constexpr std::uint32_t kA = 0x0A00000A, kB = 0x0B00000A;
const std::uint8_t kMac1[6] = {2, 0, 0, 0, 0, 1}, kMac2[6] = {2, 0, 0, 0, 0, 2};

// 'R': Resolve(ip) at t must give verdict, ask and (on Send) mac. 'L': an answer from mac, made
// an entry if `create`; must report frames waiting when `ask`. 'T': Tick at t must give `due`
// addresses.
struct Row {
    char op;
    std::uint32_t ip;
    DWORD t;
    V verdict;
    bool ask;
    const std::uint8_t* mac;
    bool create = true;
};

void Play(CNeighbourTable& table, const std::vector<Row>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::uint8_t mac[6] = {};
        if (r.op == 'R') {
            const CNeighbourTable::Answer a = table.Resolve(r.ip, r.t, mac);
            EXPECT_EQ(a.verdict, r.verdict) << "row " << i;
            EXPECT_EQ(a.bAsk, r.ask) << "row " << i;
            if (r.verdict == V::Send) {
                EXPECT_EQ(0, std::memcmp(mac, r.mac, 6)) << "row " << i;
            }
        } else if (r.op == 'L') {
            EXPECT_EQ(table.Learn(r.ip, r.mac, r.t, r.create), r.ask) << "row " << i;
        } else {
            std::uint32_t due[4];
            EXPECT_EQ(table.Tick(r.t, due, 4), r.ip) << "row " << i;
        }
    }
}

}  // namespace

TEST(NeighbourTable, AddressesAreAskedConfirmedFollowedAndGivenUpAsAKernelDoes) {
    CNeighbourTable table;
    Play(table, {
                   {'R', kA, 100, V::Queue, true, nullptr},   // unknown: asked, the frame waits
                   {'R', kA, 1099, V::Queue, false, nullptr},
                   {'L', kB, 1100, V::Send, false, kMac1, false},  // a stranger's answer makes no entry
                   {'R', kA, 1100, V::Queue, true, nullptr},  // asked again a second later
                   {'L', kA, 1500, V::Send, false, kMac1},     // answered (nothing queued here)
                   {'R', kA, 31499, V::Send, false, kMac1},
                   {'R', kA, 31500, V::Send, true, kMac1},  // stale: confirmed, the old MAC still used
                   {'L', kA, 31600, V::Send, false, kMac2},  // the neighbour's new MAC is followed
                   {'R', kA, 31700, V::Send, false, kMac2},
                   {'R', kA, 61600, V::Send, true, kMac2},  // stale again, and never answered
                   {'T', 1, 62600, V::Send, false, nullptr},
                   {'R', kA, 63600, V::Send, true, kMac2},
                   {'R', kA, 64600, V::Fallback, false, nullptr},  // three requests: given up
                   {'R', kA, 74599, V::Fallback, false, nullptr},
                   {'R', kA, 74600, V::Fallback, true, nullptr},  // asked again, frames still go out
                   {'T', 0, 75000, V::Send, false, nullptr},
                   {'L', kA, 75000, V::Send, false, kMac1, false},
                   {'R', kA, 75001, V::Send, false, kMac1},
               });
    EXPECT_EQ(table.Requests(), 7u);
    EXPECT_EQ(table.GivenUp(), 1u);
}

TEST(NeighbourTable, FramesWaitInOrderAtMostThreeAndGoWithAnAddressGivenUp) {
    CNeighbourTable table;
    std::uint8_t frame[60] = {}, mac[6];
    EXPECT_FALSE(table.Enqueue(kA, frame, 60)) << "no room before Reserve, and no entry";
    ASSERT_TRUE(table.Reserve(60));
    for (std::uint32_t ip : {kA, kB}) {
        EXPECT_EQ(table.Resolve(ip, 0, mac).verdict, V::Queue);
        for (std::uint8_t n = 1; n <= 4; ++n) {
            frame[0] = n;
            EXPECT_TRUE(table.Enqueue(ip, frame, 20 + n));
        }
    }
    EXPECT_FALSE(table.Enqueue(kA, frame, 61));
    EXPECT_EQ(table.Queued(), 8u);
    EXPECT_EQ(table.Dropped(), 4u);  // the first, the oldest of each, and the frame too long

    ASSERT_TRUE(table.Learn(kA, kMac1, 10, false));
    std::uint8_t* out;
    std::uint32_t length;
    for (std::uint8_t n = 2; n <= 4; ++n) {
        ASSERT_TRUE(table.Dequeue(kA, &out, &length));
        EXPECT_EQ(out[0], n);
        EXPECT_EQ(length, 20u + n);
    }
    EXPECT_FALSE(table.Dequeue(kA, &out, &length));

    std::uint32_t due[4];
    EXPECT_EQ(table.Tick(1000, due, 4), 1u);
    EXPECT_EQ(due[0], kB);
    EXPECT_EQ(table.Tick(2000, due, 4), 1u);
    EXPECT_EQ(table.Tick(3000, due, 4), 0u);
    EXPECT_FALSE(table.Asking());
    EXPECT_EQ(table.Dropped(), 7u);  // kB's three went with it
    EXPECT_FALSE(table.Dequeue(kB, &out, &length));
}
