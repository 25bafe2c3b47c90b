// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vemdo {

// A bounded set of peers, each held for a network source (see networkSource in transport.h). When one more
// must fit into a full set, the source that holds the most loses its oldest peer; among equally busy sources
// the one holding the oldest peer loses it, which is plain oldest-first when every source holds one. So a
// flood from one host evicts only its own peers, however fast it comes.
//
// The server keeps one for every descriptor its peers hold (budgetForDescriptorLimit) and one for the page's
// requests still being read. Plain bookkeeping: the caller says what eviction does, and calls everything on
// one thread.
class PeerBudget {
public:
    using Ticket = std::uint64_t;
    // Closes the evicted peer's descriptor before it returns.
    using Evict = std::function<void()>;

    explicit PeerBudget(std::size_t capacity);
    PeerBudget(const PeerBudget&) = delete;
    PeerBudget& operator=(const PeerBudget&) = delete;

    // Before a new peer is accepted: evicts until one more fits.
    void makeRoom();
    // Counts a peer from `source` until it is released or evicted. Tickets grow with age.
    Ticket add(std::string_view source, Evict evict);
    // The peer's descriptor is closed. A ticket already released or evicted is ignored.
    void release(Ticket ticket);

    // The peer that makeRoom would evict first, 0 when there is none.
    Ticket nextEviction() const;
    std::size_t size() const { return m_peers.size(); }
    std::size_t capacity() const { return m_capacity; }

private:
    // Busiest first; among equals, the one holding the oldest peer.
    struct Rank {
        std::size_t count;
        Ticket oldest;
        const std::string* source;
        bool operator<(const Rank& other) const {
            return count != other.count ? count > other.count : oldest < other.oldest;
        }
    };
    using Sources = std::map<std::string, std::set<Ticket>, std::less<>>;
    struct Peer {
        Sources::iterator source;
        Evict evict;
    };

    void rank(Sources::iterator source, bool present);

    const std::size_t m_capacity;
    Sources m_sources;
    std::set<Rank> m_ranking;
    std::unordered_map<Ticket, Peer> m_peers;
    Ticket m_nextTicket = 1;
};

// How many peers may hold a descriptor under a soft descriptor limit: the limit less a reserve for what the
// process itself opens (the store, the lock, D-Bus, the display, the input backend, Avahi, Qt's own pipes: a
// few dozen), at least half the limit, and at most a cap that bounds what a flood can make the event loop
// watch.
std::size_t budgetForDescriptorLimit(std::uint64_t softLimit);

} // namespace vemdo
