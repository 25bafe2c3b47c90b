// SPDX-License-Identifier: MIT
#include "platform/network/http_request.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <arpa/inet.h>

namespace vemdo::web {

namespace {

constexpr std::string_view headEnd = "\r\n\r\n";
constexpr std::string_view lineEnd = "\r\n";

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Field values may hold visible characters, spaces, tabs and bytes of other encodings, never controls.
bool isFieldValue(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
    });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::optional<HttpRequest> parseHead(std::string_view head) {
    HttpRequest request;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart <= head.size()) {
        std::size_t lineStop = head.find(lineEnd, lineStart);
        if (lineStop == std::string_view::npos)
            lineStop = head.size();
        const std::string_view line = head.substr(lineStart, lineStop - lineStart);
        lineStart = lineStop + lineEnd.size();
        if (first) {
            first = false;
            const std::size_t space1 = line.find(' ');
            const std::size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
            if (space2 == std::string_view::npos || line.find(' ', space2 + 1) != std::string_view::npos)
                return std::nullopt;
            const std::string_view method = line.substr(0, space1);
            const std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
            const std::string_view version = line.substr(space2 + 1);
            const bool visibleTarget = !target.empty() && std::all_of(target.begin(), target.end(), [](char c) {
                return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
            });
            if (!isToken(method) || !visibleTarget || (version != "HTTP/1.1" && version != "HTTP/1.0"))
                return std::nullopt;
            request.method = method;
            request.target = target;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        // A name followed by white space, or a line folded onto the one before, is refused as HTTP/1.1 asks.
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = line.substr(colon + 1);
        if (!isToken(name) || !isFieldValue(value))
            return std::nullopt;
        std::string lowerName(name);
        std::transform(lowerName.begin(), lowerName.end(), lowerName.begin(), lower);
        request.headers.emplace_back(std::move(lowerName), std::string(trimmed(value)));
    }
    return request;
}

// The address bytes of an IPv4 or IPv6 literal (a zone such as "%eth0" ignored), for comparing by value.
std::optional<std::string> addressBytes(std::string_view text) {
    std::string literal(text.substr(0, text.find('%')));
    std::array<unsigned char, 16> buffer{};
    if (inet_pton(AF_INET, literal.c_str(), buffer.data()) == 1)
        return std::string(reinterpret_cast<const char*>(buffer.data()), 4);
    if (inet_pton(AF_INET6, literal.c_str(), buffer.data()) == 1)
        return std::string(reinterpret_cast<const char*>(buffer.data()), 16);
    return std::nullopt;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned value = 0;
    for (char c : text)
        value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

struct Status {
    int code;
    std::string_view reason;
};

Status status(Route route) {
    switch (route) {
    case Route::serveFile:
        return {200, "OK"};
    case Route::upgrade:
        return {101, "Switching Protocols"};
    case Route::badRequest:
        break;
    case Route::forbidden:
        return {403, "Forbidden"};
    case Route::notFound:
        return {404, "Not Found"};
    case Route::notAllowed:
        return {405, "Method Not Allowed"};
    case Route::timeout:
        return {408, "Request Timeout"};
    case Route::misdirected:
        return {421, "Misdirected Request"};
    case Route::needsUpgrade:
        return {426, "Upgrade Required"};
    case Route::tooLarge:
        return {431, "Request Header Fields Too Large"};
    }
    return {400, "Bad Request"};
}

} // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    std::optional<std::string> found;
    for (const auto& [key, value] : headers) {
        if (key != name)
            continue;
        if (found)
            return std::nullopt;
        found = value;
    }
    return found;
}

std::string HttpRequest::path() const {
    return target.substr(0, target.find('?'));
}

RequestHead readRequestHead(std::string_view bytes) {
    const std::size_t end = bytes.find(headEnd);
    if (end == std::string_view::npos)
        return {bytes.size() >= maxHeaderBytes ? HeadStatus::tooLarge : HeadStatus::incomplete, {}};
    if (end + headEnd.size() > maxHeaderBytes)
        return {HeadStatus::tooLarge, {}};
    auto request = parseHead(bytes.substr(0, end));
    if (!request)
        return {HeadStatus::malformed, {}};
    return {HeadStatus::complete, std::move(*request)};
}

bool isLocalHost(std::string_view host, const LocalNames& names) {
    std::string_view name;
    std::string_view port;
    bool bracketed = false;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(1, close - 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            return false;
        port = rest.empty() ? rest : rest.substr(1);
        bracketed = true;
    } else {
        const std::size_t colon = host.find(':');
        if (colon != std::string_view::npos && host.find(':', colon + 1) != std::string_view::npos)
            return false;
        name = host.substr(0, colon);
        port = colon == std::string_view::npos ? std::string_view() : host.substr(colon + 1);
        if (name.ends_with('.'))
            name.remove_suffix(1);
    }
    // Browsers leave out the port only when it is the default one.
    const std::optional<std::uint16_t> number = port.empty() ? std::optional<std::uint16_t>(80) : parsePort(port);
    if (name.empty() || !number || *number != names.port)
        return false;

    if (auto bytes = addressBytes(name)) {
        // An IPv6 literal is only valid in brackets, an IPv4 one only without.
        if (bracketed != (bytes->size() == 16))
            return false;
        return std::any_of(names.addresses.begin(), names.addresses.end(),
                           [&](const std::string& address) { return addressBytes(address) == bytes; });
    }
    if (bracketed)
        return false;
    if (equalsIgnoringCase(name, "localhost"))
        return true;
    return !names.hostName.empty() &&
           (equalsIgnoringCase(name, names.hostName) || equalsIgnoringCase(name, names.hostName + ".local"));
}

Decision routeRequest(const HttpRequest& request, const LocalNames& names, const std::set<std::string>& files) {
    const std::optional<std::string> host = request.header("host");
    if (!host || host->empty())
        return {Route::badRequest, {}};
    if (!isLocalHost(*host, names))
        return {Route::misdirected, {}};
    if (!request.target.starts_with('/'))
        return {Route::badRequest, {}};
    const std::string path = request.path();
    if (path == webSocketPath) {
        if (request.method != "GET")
            return {Route::notAllowed, {}};
        // Browsers let any page open a WebSocket anywhere and say whose page it is only in Origin.
        const std::optional<std::string> origin = request.header("origin");
        if (!origin || !equalsIgnoringCase(*origin, "http://" + *host))
            return {Route::forbidden, {}};
        const std::optional<std::string> upgrade = request.header("upgrade");
        if (!upgrade || !equalsIgnoringCase(*upgrade, "websocket"))
            return {Route::needsUpgrade, {}};
        return {Route::upgrade, {}};
    }
    if (request.method != "GET" && request.method != "HEAD")
        return {Route::notAllowed, {}};
    std::string file = path == "/" ? "/index.html" : path;
    if (!files.contains(file))
        return {Route::notFound, {}};
    return {Route::serveFile, std::move(file)};
}

int statusCode(Route route) {
    return status(route).code;
}

std::string httpResponse(Route route, std::string_view contentType, std::string_view body, bool withBody,
                         std::string_view connectSource) {
    const Status line = status(route);
    std::string response = "HTTP/1.1 " + std::to_string(line.code) + " " + std::string(line.reason) + "\r\n";
    if (!contentType.empty())
        response += "Content-Type: " + std::string(contentType) + "\r\n";
    response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    response += "Cache-Control: no-cache\r\n";
    std::string connect = "'self'";
    if (!connectSource.empty())
        connect += " ws://" + std::string(connectSource);
    response += "Content-Security-Policy: default-src 'self'; connect-src " + connect + "; frame-ancestors 'none'\r\n";
    response += "X-Content-Type-Options: nosniff\r\n";
    response += "Referrer-Policy: no-referrer\r\n";
    if (route == Route::notAllowed)
        response += "Allow: GET, HEAD\r\n";
    if (route == Route::needsUpgrade)
        response += "Upgrade: websocket\r\n";
    response += "Connection: close\r\n\r\n";
    if (withBody)
        response += body;
    return response;
}

std::string_view contentTypeFor(std::string_view path) {
    struct Type {
        std::string_view extension;
        std::string_view type;
    };
    static constexpr std::array<Type, 6> types{{
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".webmanifest", "application/manifest+json"},
    }};
    for (const auto& type : types) {
        if (path.ends_with(type.extension))
            return type.type;
    }
    return "application/octet-stream";
}

} // namespace vemdo::web
