// SPDX-License-Identifier: MIT
#include "transport/peer_budget.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace vemdo::testing {
namespace {

// A full budget holding peers of these sources (oldest first) makes room for one more: which one goes.
TEST(PeerBudget, TheBusiestSourceLosesItsOldestPeer) {
    const std::tuple<std::vector<std::string>, std::size_t> rows[] = {
        {{"a", "b", "c"}, 0},           // one each: the oldest of all
        {{"a", "b", "b"}, 1},           // b holds more
        {{"b", "a", "a", "b", "a"}, 1}, // a holds three of five
        {{"a", "b", "b", "a"}, 0},      // as busy as each other: a holds the oldest
        {{"c", "b", "a", "a", "b"}, 1}, // c holds fewer; b's oldest is older than a's
        {{"2001:db8::/64", "192.0.2.7", "192.0.2.7", "2001:db8::/64", "2001:db8::/64"}, 0},
    };
    for (const auto& [sources, evicted] : rows) {
        PeerBudget budget(sources.size());
        std::vector<std::size_t> closed;
        for (std::size_t i = 0; i < sources.size(); ++i)
            budget.add(sources[i], [&closed, i] { closed.push_back(i); });
        budget.makeRoom();
        EXPECT_EQ(closed, std::vector<std::size_t>{evicted}) << ::testing::PrintToString(sources);
        EXPECT_EQ(budget.size(), sources.size() - 1);
    }
}

// A flood from one source beside a phone: only the flood's peers go, oldest first, each closed as it is
// evicted (its close reports back, which changes nothing); a peer that closes by itself frees its place.
TEST(PeerBudget, AFloodEvictsOnlyItsOwnPeers) {
    PeerBudget budget(4);
    std::vector<std::string> closed;
    budget.add("phone", [&] { closed.push_back("phone"); });
    std::vector<PeerBudget::Ticket> flood;
    for (std::size_t n = 0; n < 8; ++n) {
        budget.makeRoom();
        flood.push_back(budget.add("flood", [&, n] {
            closed.push_back("flood " + std::to_string(n));
            budget.release(flood[n]);
        }));
    }
    EXPECT_EQ(closed, (std::vector<std::string>{"flood 0", "flood 1", "flood 2", "flood 3", "flood 4"}));
    budget.release(flood[7]);
    budget.release(flood[0]);
    budget.makeRoom();
    EXPECT_EQ(closed.size(), 5u);
    EXPECT_EQ(budget.size(), 3u);
}

TEST(PeerBudget, DescriptorsLeftForTheProcessItself) {
    const std::tuple<std::uint64_t, std::size_t> rows[] = {
        {1024, 768}, {20000, 4096}, {std::numeric_limits<std::uint64_t>::max(), 4096}, {400, 200}, {64, 32},
    };
    for (const auto& [limit, budget] : rows)
        EXPECT_EQ(budgetForDescriptorLimit(limit), budget) << limit;
}

} // namespace
} // namespace vemdo::testing
