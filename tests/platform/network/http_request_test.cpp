// SPDX-License-Identifier: MIT
// The browser page's listener: which request gets which answer. The listener itself, on real sockets in
// front of the transport, is in tests/integration/network_loopback_test.cpp.
#include "platform/network/http_request.h"

#include <gtest/gtest.h>

namespace vemdo::testing {
namespace {

using web::HeadStatus;
using web::Route;

const std::string crlf = "\r\n";

std::string request(std::string_view method, std::string_view target, std::vector<std::string> headers) {
    std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1" + crlf;
    for (const auto& header : headers)
        text += header + crlf;
    return text + crlf;
}

TEST(HttpHead, ReadUntilTheEmptyLineWithinTheBound) {
    const std::string head = request("GET", "/", {"Host: a:1"});
    // The whole head, empty line included, may take maxHeaderBytes and no more.
    const std::string atBound = request("GET", "/", {"Host: a:1", "X: " + std::string(web::maxHeaderBytes - 34, 'x')});
    ASSERT_EQ(atBound.size(), web::maxHeaderBytes);
    const struct {
        std::string bytes;
        HeadStatus status;
    } rows[] = {
        {head, HeadStatus::complete},
        {head.substr(0, head.size() - 2), HeadStatus::incomplete},
        {atBound, HeadStatus::complete},
        {request("GET", "/", {"Host: a:1", "X: " + std::string(web::maxHeaderBytes - 33, 'x')}), HeadStatus::tooLarge},
        {"GET / HTTP/1.1" + crlf + "X: " + std::string(web::maxHeaderBytes, 'y'), HeadStatus::tooLarge},
        {"GET / HTTP/1.1\nHost: a:1\n\n" + crlf + crlf, HeadStatus::malformed},
        {request("GET", "/", {"Host : a:1"}), HeadStatus::malformed},
        {request("GET", "/", {"Host: a:1", " folded"}), HeadStatus::malformed},
        {request("GET", "/", {"Host: a\x01:1"}), HeadStatus::malformed},
        {request("GET", "/", {"NoColon"}), HeadStatus::malformed},
        {"GET / HTTP/2" + crlf + crlf, HeadStatus::malformed},
    };
    for (const auto& row : rows)
        EXPECT_EQ(web::readRequestHead(row.bytes).status, row.status) << row.bytes.substr(0, 80);
    EXPECT_EQ(web::readRequestHead(rows[2].bytes).request.headers.size(), 2u) << "exactly at the bound";
}

const web::LocalNames names{{"192.168.1.20", "fe80::1%eth0", "::1", "127.0.0.1"}, "desk", 27183};
const std::set<std::string> files{"/index.html", "/page.js"};

Route route(std::string_view method, std::string_view target, std::vector<std::string> headers) {
    return web::routeRequest(web::readRequestHead(request(method, target, std::move(headers))).request, names, files)
        .route;
}

// Another site's page may try any of these hosts (DNS rebinding makes its own name point here); only the
// names of this computer with the listener's port open the WebSocket, and only for a page of that origin.
TEST(HttpRoutes, HostOriginAndPathMatrix) {
    const std::pair<std::string, bool> hosts[] = {
        {"192.168.1.20:27183", true}, {"DESK.local:27183", true},      {"desk:27183", true},
        {"localhost:27183", true},    {"[::1]:27183", true},           {"[0:0::1]:27183", true},
        {"[fe80::1]:27183", true},    {"evil.example:27183", false},   {"192.168.1.20:8080", false},
        {"192.168.1.20", false},      {"10.0.0.9:27183", false},       {"desk.evil.example:27183", false},
        {"::1:27183", false},         {"[192.168.1.20]:27183", false},
    };
    for (const auto& [host, local] : hosts) {
        const std::pair<std::string, bool> origins[] = {
            {"http://" + host, true}, {"https://" + host, false}, {"http://evil.example", false}, {"null", false}};
        for (const auto& [origin, same] : origins) {
            const std::vector<std::string> headers{"Host: " + host, "Origin: " + origin, "Upgrade: websocket",
                                                   "Connection: Upgrade"};
            const std::string where = host + " from " + origin;
            EXPECT_EQ(route("GET", "/ws", headers), !local ? Route::misdirected
                                                    : same ? Route::upgrade
                                                           : Route::forbidden)
                << where;
            EXPECT_EQ(route("GET", "/", headers), local ? Route::serveFile : Route::misdirected) << where;
            EXPECT_EQ(route("GET", "/missing", headers), local ? Route::notFound : Route::misdirected) << where;
        }
        EXPECT_EQ(route("GET", "/ws", {"Host: " + host, "Upgrade: websocket"}),
                  local ? Route::forbidden : Route::misdirected)
            << host << " without Origin";
    }
}

TEST(HttpRoutes, MethodsAndPaths) {
    const std::string host = "Host: 192.168.1.20:27183";
    const std::string origin = "Origin: http://192.168.1.20:27183";
    const struct {
        std::string method, target;
        std::vector<std::string> headers;
        Route route;
    } rows[] = {
        {"GET", "/", {host}, Route::serveFile},
        {"HEAD", "/page.js", {host}, Route::serveFile},
        {"GET", "/page.js?v=2", {host}, Route::serveFile},
        {"POST", "/", {host}, Route::notAllowed},
        {"POST", "/ws", {host, origin, "Upgrade: websocket"}, Route::notAllowed},
        {"GET", "/ws", {host, origin}, Route::needsUpgrade},
        {"GET", "/%2e%2e/etc/passwd", {host}, Route::notFound},
        {"GET", "/index.html/", {host}, Route::notFound},
        {"GET", "http://192.168.1.20:27183/", {host}, Route::badRequest},
        {"GET", "/", {}, Route::badRequest},
        {"GET", "/", {host, host}, Route::badRequest},
    };
    for (const auto& row : rows)
        EXPECT_EQ(route(row.method, row.target, row.headers), row.route) << row.method << " " << row.target;
}

} // namespace
} // namespace vemdo::testing
