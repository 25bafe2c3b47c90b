// SPDX-License-Identifier: MIT
#include "transport/peer_budget.h"

#include <algorithm>

namespace vemdo {

PeerBudget::PeerBudget(std::size_t capacity) : m_capacity(capacity) {}

void PeerBudget::makeRoom() {
    while (!m_peers.empty() && m_peers.size() >= m_capacity) {
        const Ticket victim = nextEviction();
        // Released first: the eviction may report the peer's close, which releases it again.
        Evict evict = std::move(m_peers.at(victim).evict);
        release(victim);
        if (evict)
            evict();
    }
}

PeerBudget::Ticket PeerBudget::add(std::string_view source, Evict evict) {
    const Ticket ticket = m_nextTicket++;
    auto held = m_sources.find(source);
    if (held == m_sources.end())
        held = m_sources.emplace(std::string(source), std::set<Ticket>{}).first;
    else
        rank(held, false);
    held->second.insert(ticket);
    rank(held, true);
    m_peers.emplace(ticket, Peer{held, std::move(evict)});
    return ticket;
}

void PeerBudget::release(Ticket ticket) {
    const auto peer = m_peers.find(ticket);
    if (peer == m_peers.end())
        return;
    const Sources::iterator held = peer->second.source;
    m_peers.erase(peer);
    rank(held, false);
    held->second.erase(ticket);
    if (held->second.empty())
        m_sources.erase(held);
    else
        rank(held, true);
}

PeerBudget::Ticket PeerBudget::nextEviction() const {
    return m_ranking.empty() ? 0 : m_ranking.begin()->oldest;
}

void PeerBudget::rank(Sources::iterator source, bool present) {
    const Rank entry{source->second.size(), *source->second.begin(), &source->first};
    if (present)
        m_ranking.insert(entry);
    else
        m_ranking.erase(entry);
}

std::size_t budgetForDescriptorLimit(std::uint64_t softLimit) {
    constexpr std::uint64_t reserve = 256;
    // A peer's descriptor is one more the event loop polls on every pass; phones on one network are a handful.
    constexpr std::uint64_t cap = 4096;
    const std::uint64_t budget = std::max(softLimit / 2, softLimit > reserve ? softLimit - reserve : 0);
    return static_cast<std::size_t>(std::min(budget, cap));
}

} // namespace vemdo
