// SPDX-License-Identifier: MIT
#include "app/browser_link.h"

#include "transport/string_table.h"

#include <algorithm>
#include <array>

#include <arpa/inet.h>

namespace vemdo {

namespace {

// Lower is better; absent for addresses a phone's browser cannot use.
std::optional<int> preference(const std::string& text) {
    std::array<unsigned char, 16> bytes{};
    if (inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) {
        const unsigned a = bytes[0];
        const unsigned b = bytes[1];
        if (a == 127)
            return 5;
        if (a == 169 && b == 254)
            return 3;
        if (a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168))
            return 0;
        return 1;
    }
    if (text.find('%') != std::string::npos || inet_pton(AF_INET6, text.c_str(), bytes.data()) != 1)
        return std::nullopt;
    if (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80)
        return std::nullopt;
    const bool loopback =
        std::all_of(bytes.begin(), bytes.end() - 1, [](unsigned char c) { return c == 0; }) && bytes[15] == 1;
    return loopback ? 6 : 2;
}

std::string page(const std::string& address, std::uint16_t port) {
    const bool ipv6 = address.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

} // namespace

std::optional<BrowserLink> makeBrowserLink(const std::vector<std::string>& addresses, std::string_view hostName,
                                           std::uint16_t port, const std::optional<std::string>& code) {
    std::vector<std::pair<int, std::string>> ranked;
    for (const auto& address : addresses) {
        auto rank = preference(address);
        const bool seen =
            std::any_of(ranked.begin(), ranked.end(), [&](const auto& entry) { return entry.second == address; });
        if (rank && !seen)
            ranked.emplace_back(*rank, address);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const bool onlyLoopback = !ranked.empty() && ranked.front().first >= 5;
    if (!onlyLoopback)
        std::erase_if(ranked, [](const auto& entry) { return entry.first >= 5; });
    if (ranked.empty())
        return std::nullopt;

    BrowserLink link;
    link.address = page(ranked.front().second, port);
    link.url = link.address + (code ? "#code=" + *code : std::string());
    for (std::size_t i = 1; i < ranked.size(); ++i)
        link.otherAddresses.push_back(page(ranked[i].second, port));
    if (!hostName.empty() && !onlyLoopback)
        link.otherAddresses.push_back(page(std::string(hostName) + ".local", port));
    return link;
}

void addBrowserLinkTexts(BrowserLink& link, const StringTable& strings) {
    link.title = strings.text("browser.title", "Connect with a Browser");
    link.instructions = strings.text("browser.instructions",
                                     "Scan the code with the phone's camera, or open this address in its browser. "
                                     "The phone must be on the same network.");
    link.othersCaption = strings.text("browser.other_addresses", "Other addresses of this computer:");
}

} // namespace vemdo
