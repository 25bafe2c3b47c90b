// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

class StringTable;

// What a phone's browser opens: the page at the address most likely to be reached from the local
// network, with the pairing code in the fragment (a fragment never leaves the phone).
struct BrowserLink {
    // For the QR code: the page with "#code=" and the code.
    std::string url;
    // The page's address without the code, to be typed by hand.
    std::string address;
    // The page at this computer's other addresses, best first.
    std::vector<std::string> otherAddresses;

    // Captions in the user's language (addBrowserLinkTexts).
    std::string title;
    std::string instructions;
    std::string othersCaption;

    bool operator==(const BrowserLink&) const = default;
};

// Builds the link from this computer's addresses (as text, in any order), its host name and the page's
// port. Private IPv4 addresses come first, then other IPv4, then routable IPv6; loopback only when there
// is nothing else, and IPv6 link-local never (browsers cannot take an interface name in a URL). The host
// name's ".local" form is the last of the others. Nothing when no address is left at all.
std::optional<BrowserLink> makeBrowserLink(const std::vector<std::string>& addresses, std::string_view hostName,
                                           std::uint16_t port, const std::optional<std::string>& code);

void addBrowserLinkTexts(BrowserLink& link, const StringTable& strings);

} // namespace vemdo
