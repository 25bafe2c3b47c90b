// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// Cuts a byte stream at line feeds. Lines are judged whole, so a character split between two receives
// is never lost; only the pending tail is kept, and it is bounded.
class LineFramer {
public:
    static constexpr std::size_t maxPendingBytes = 64 * 1024;

    // Appends a chunk and returns the complete lines it finished, without their line feeds, in order
    // (empty lines included). False in overflowed() once the pending tail exceeds the bound; the caller
    // then closes the connection and the framer keeps nothing more.
    std::vector<std::string> append(std::string_view chunk);

    bool overflowed() const { return m_overflowed; }
    const std::string& pending() const { return m_pending; }

private:
    std::string m_pending;
    bool m_overflowed = false;
};

} // namespace vemdo
