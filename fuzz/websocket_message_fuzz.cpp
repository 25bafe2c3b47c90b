// SPDX-License-Identifier: MIT
// WebSocket text messages into the transport as the browser page's listener hands them over, on two
// connections at once. The input is a script of messages, each running up to the next mark byte: 0x01
// starts one on the first connection, 0x02 on the second, 0x03 ends the first connection and starts one on a
// fresh connection in its place; the script begins with a message on the first connection.
//
// Checked for every message: nothing reaches the input backend from a connection that has not
// authenticated with a stored token; authentication succeeds exactly for a stored device and its token;
// pairing succeeds only with the code; every reply is one JSON object and a line feed, one per pairing or
// authentication request and none for anything else; a connection is closed once, at its 20th refusal
// before authenticating or at once when its first line is an HTTP request line, and after that nothing it
// sends has any effect.
#include "fuzz/fuzz_check.h"
#include "platform/network/http_request.h"
#include "protocol/utf8.h"
#include "support/fakes.h"
#include "transport/transport.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace {

using namespace vemdo;
using namespace vemdo::testing;

struct Peer {
    std::shared_ptr<FakeConnection> connection;
    // As the replies tell it.
    bool authenticated = false;
    int refusalsBeforeAuthentication = 0;
    bool spoke = false;
    bool refusedAsHttp = false;
};

struct World : TransportFakes {
    World() {
        store.setData(SecurityManager::pairingCodeKey, R"({"code":"123456","timestamp":0.0})");
        store.setData(SecurityManager::pairedDevicesKey,
                      R"({"phone-1":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"})");
        transport.emplace(Transport::Dependencies{security, injector, network, mainQueue, clock, strings, 0});
        open(0);
        open(1);
    }

    // One phone, as when a browser holds two pages open: the same address, once in its IPv6-mapped form.
    void open(std::size_t slot) {
        peers[slot] = Peer{std::make_shared<FakeConnection>(++lastId, slot == 0 ? "192.0.2.7" : "::ffff:192.0.2.7")};
        transport->handleNewConnection(peers[slot].connection);
    }

    void receive(Peer& peer, std::string_view message) {
        std::string line(message);
        std::replace(line.begin(), line.end(), '\n', ' ');
        const std::optional<Packet> packet = isValidUtf8(line) ? Packet::decodeJson(line) : std::nullopt;
        const SecurityManager::PairedDevices devices = security.loadPairedDevices();
        const bool open = peer.connection->cancels == 0;
        const bool http = !std::exchange(peer.spoke, true) && isHttpRequestLine(line);
        peer.refusedAsHttp = peer.refusedAsHttp || http;
        const std::size_t recorded = backend.records().size();
        const std::size_t sent = peer.connection->sent.size();
        // In receives of at most 4096 bytes, as the listener hands them over.
        for (const std::string& piece : web::messageLinePieces(message, 4096))
            transport->processReceivedData(peer.connection->id(), piece);

        const std::size_t injected = backend.records().size() - recorded;
        FUZZ_CHECK(injected == 0 || (peer.authenticated && open));
        if (peer.authenticated && open && packet && packet->kind == Kind::move)
            FUZZ_CHECK(injected == 1);
        const bool answered =
            open && !http && packet && (packet->kind == Kind::auth || packet->kind == Kind::pairRequest);
        FUZZ_CHECK(peer.connection->sent.size() == sent + (answered ? 1 : 0));
        if (answered) {
            const std::string_view wire = peer.connection->sent.back();
            FUZZ_CHECK(wire.find('\n') == wire.size() - 1);
            const std::optional<Packet> reply = Packet::decodeJson(wire);
            FUZZ_CHECK(reply && reply->encodeJson() == wire.substr(0, wire.size() - 1) && reply->success);
            if (packet->kind == Kind::auth) {
                const auto stored = devices.find(packet->deviceID.value_or(""));
                const bool valid = stored != devices.end() && packet->token == stored->second;
                FUZZ_CHECK(reply->kind == Kind::auth && *reply->success == valid);
                peer.authenticated = peer.authenticated || valid;
            } else {
                FUZZ_CHECK(reply->kind == Kind::pairResponse &&
                           (!*reply->success || (packet->pairingCode == "123456" && packet->deviceID && reply->token &&
                                                 security.loadPairedDevices()[*packet->deviceID] == *reply->token)));
            }
            peer.refusalsBeforeAuthentication += !*reply->success && !peer.authenticated;
        }
        FUZZ_CHECK(
            peer.connection->cancels ==
            (peer.refusalsBeforeAuthentication >= Transport::maxFailedAttemptsPerConnection || peer.refusedAsHttp));
    }

    // Held input is let go only when the last authenticated connection ends.
    void end(std::size_t slot) {
        const std::size_t recorded = backend.records().size();
        transport->connectionEnded(peers[slot].connection->id());
        FUZZ_CHECK(backend.records().size() == recorded || peers[slot].authenticated);
    }

    std::optional<Transport> transport;
    Peer peers[2];
    ConnectionId lastId = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    World world;
    for (std::size_t start = 0, slot = 0;;) {
        const std::size_t mark = std::min(script.find_first_of("\x01\x02\x03", start), script.size());
        world.receive(world.peers[slot], script.substr(start, mark - start));
        if (mark == script.size())
            break;
        if (script[mark] == '\x03') {
            world.end(0);
            world.open(0);
        }
        slot = script[mark] == '\x02' ? 1 : 0;
        start = mark + 1;
    }
    world.end(0);
    world.end(1);
    return 0;
}
