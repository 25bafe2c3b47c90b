// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vemdo::web {

// What the browser page's listener reads before it answers or hands a socket to the WebSocket layer.
// Plain C++: the Qt listener feeds it the bytes it has peeked and acts on the answer.

inline constexpr std::size_t maxHeaderBytes = 8 * 1024;
inline constexpr std::string_view webSocketPath = "/ws";

struct HttpRequest {
    std::string method;
    std::string target;
    // Header names in lower case, values without surrounding white space, in arrival order.
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the one header of that (lower-case) name; nothing when it is absent or repeated.
    std::optional<std::string> header(std::string_view name) const;
    // The target without its query.
    std::string path() const;
};

enum class HeadStatus { incomplete, complete, tooLarge, malformed };

struct RequestHead {
    HeadStatus status = HeadStatus::incomplete;
    HttpRequest request;
};

// Reads the request line and headers from the bytes received so far (they end at the first empty line).
// tooLarge as soon as the head cannot end within maxHeaderBytes, so a slow sender cannot grow it.
RequestHead readRequestHead(std::string_view bytes);

// The names under which this computer may be asked for: its addresses, "localhost", its host name and
// "<host name>.local", all with the listener's port. Anything else is another site, or a DNS name
// rebound to this computer by someone else's page.
struct LocalNames {
    std::vector<std::string> addresses;
    std::string hostName;
    std::uint16_t port = 0;
};

// Whether a Host header value names this computer on the listener's port. Names compare without regard
// to case, IP addresses by value ("[::1]" and "[0:0::1]" are the same).
bool isLocalHost(std::string_view host, const LocalNames& names);

enum class Route {
    serveFile,    // 200, or the head of it for HEAD
    upgrade,      // hand the socket to the WebSocket layer, which answers 101
    badRequest,   // 400
    forbidden,    // 403: an upgrade from a page of another origin
    notFound,     // 404
    notAllowed,   // 405
    timeout,      // 408
    misdirected,  // 421: a Host that is not this computer
    needsUpgrade, // 426: the WebSocket path without an upgrade
    tooLarge,     // 431
};

struct Decision {
    Route route = Route::badRequest;
    // For serveFile: the file's path among `files`.
    std::string file;
};

// What to do with a complete request, given the paths of the files the page is made of. The checks run
// in this order: a readable Host, that Host naming this computer, the WebSocket path (GET, Origin equal
// to "http://" + Host, an upgrade), the method (GET or HEAD), the file.
Decision routeRequest(const HttpRequest& request, const LocalNames& names, const std::set<std::string>& files);

int statusCode(Route route);

// A whole response with the page's security headers, closing the connection after it. `connectSource`,
// when not empty, is the WebSocket origin the page may reach besides 'self' (some browsers do not count
// ws: as 'self'); it must be a checked Host.
std::string httpResponse(Route route, std::string_view contentType, std::string_view body, bool withBody,
                         std::string_view connectSource = {});

// The Content-Type of a page file by its extension.
std::string_view contentTypeFor(std::string_view path);

} // namespace vemdo::web
