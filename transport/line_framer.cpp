// SPDX-License-Identifier: MIT
#include "transport/line_framer.h"

namespace vemdo {

std::vector<std::string> LineFramer::append(std::string_view chunk) {
    std::vector<std::string> lines;
    if (m_overflowed)
        return lines;

    // A line longer than the bound is refused wherever the chunk boundaries fall, so the outcome does not
    // depend on how TCP happened to cut the stream.
    auto overflow = [&] {
        m_overflowed = true;
        m_pending.clear();
        m_pending.shrink_to_fit();
    };

    std::size_t start = 0;
    while (true) {
        const std::size_t feed = chunk.find('\n', start);
        if (feed == std::string_view::npos)
            break;
        const std::string_view piece = chunk.substr(start, feed - start);
        if (m_pending.size() + piece.size() > maxPendingBytes) {
            overflow();
            return lines;
        }
        if (m_pending.empty()) {
            lines.emplace_back(piece);
        } else {
            m_pending.append(piece);
            lines.push_back(std::move(m_pending));
            m_pending.clear();
        }
        start = feed + 1;
    }

    const std::string_view tail = chunk.substr(start);
    if (m_pending.size() + tail.size() > maxPendingBytes) {
        overflow();
        return lines;
    }
    m_pending.append(tail);
    return lines;
}

} // namespace vemdo
