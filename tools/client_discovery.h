// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vemdo::client {

struct FoundServer {
    std::string name;
    std::string address; // numeric, with %interface for link-local IPv6
    std::uint16_t port = 0;
    bool ipv6 = false;
};

// Browses "_vemdo._tcp" through the Avahi daemon and resolves what it finds. Waits until the daemon has
// reported everything it knows (and, when wantedName is set, until that name has been resolved), or
// until timeoutSeconds. Returns false with error set when the daemon cannot be reached.
bool discoverServers(const std::string& wantedName, double timeoutSeconds, std::vector<FoundServer>& found,
                     std::string& error);

} // namespace vemdo::client
