// SPDX-License-Identifier: MIT
// WebSocket binary messages into the transport as the browser page's listener hands them over, on two
// connections at once. The input is a script of messages, each running up to the next mark byte: 0x01
// starts one on the first connection, 0x02 on the second, 0x03 ends the second connection and starts one on
// a fresh connection in its place; the script begins with a message on the second connection. The first
// connection runs the exchange with its stored secret when it is first used, and each of its messages is the
// plaintext of the next sealed frame, except after 0x04, which hands the message over unsealed. The second
// connection gets the bytes as they are, into its exchange.
//
// Checked for every message: nothing reaches the input backend from the second connection (which never
// learns the code or a secret), nor from the first once a frame failed to open; the first connection's
// sealed moves arrive, once each, and nothing inside the channel is answered; the second connection is sent
// at most one message of the exchange per message, and is closed once, with a close code of the exchange,
// when what it sent is no next message of it; after that nothing it sends has any effect.
#include "fuzz/fuzz_check.h"
#include "protocol/utf8.h"
#include "support/fakes.h"
#include "transport/transport.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace vemdo;
using namespace vemdo::testing;

constexpr std::string_view secret = "5f4dcc3b5aa765d61d8327deb882cf995f4dcc3b5aa765d61d8327deb882cf99";

struct World : TransportFakes {
    World() {
        store.setData(SecurityManager::pairingCodeKey, R"({"code":"123456","timestamp":0.0})");
        store.setData(SecurityManager::browserSecretsKey, R"({"page-1":")" + std::string(secret) + "\"}");
        transport.emplace(Transport::Dependencies{security, injector, network, mainQueue, clock, random, strings, 0});
        stranger = open();
    }

    std::shared_ptr<FakeConnection> open() {
        auto connection = std::make_shared<FakeConnection>(++lastId, "192.0.2.7", ConnectionKind::browserPage);
        transport->handleNewConnection(connection);
        return connection;
    }

    void sealed(std::string_view message, bool unsealed) {
        // The exchange is the dearest step by far, so only scripts that use the channel pay for it.
        if (!paired) {
            paired = open();
            channel = pageExchange(*transport, *paired, "secret", "page-1", secret);
            FUZZ_CHECK(channel.has_value());
            paired->sent.clear();
        }
        const std::size_t recorded = backend.records().size();
        const bool delivered = paired->cancels == 0 && !unsealed;
        const std::optional<Packet> packet = isValidUtf8(message) ? Packet::decodeJson(message) : std::nullopt;
        transport->processReceivedMessage(paired->id(),
                                          unsealed ? message : textOf(channel->outgoing.seal(cpace::bytesOf(message))));
        const std::size_t injected = backend.records().size() - recorded;
        FUZZ_CHECK(paired->sent.empty() && paired->cancels == (delivered ? 0 : 1));
        FUZZ_CHECK(injected == 0 || delivered);
        FUZZ_CHECK(!delivered || !packet || packet->kind != Kind::move || injected == 1);
    }

    void raw(std::string_view message) {
        const std::size_t recorded = backend.records().size(), sent = stranger->sent.size();
        const bool open = stranger->cancels == 0;
        transport->processReceivedMessage(stranger->id(), message);
        FUZZ_CHECK(backend.records().size() == recorded);
        FUZZ_CHECK(stranger->sent.size() == sent + (open && stranger->cancels == 0 ? 1 : 0));
        FUZZ_CHECK(stranger->cancels == (stranger->refusal ? 1 : 0) && stranger->refusal.value_or(4000) - 4000u <= 5);
    }

    std::optional<Transport> transport;
    std::shared_ptr<FakeConnection> paired, stranger;
    std::optional<SealedChannel> channel;
    ConnectionId lastId = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view script(reinterpret_cast<const char*>(data), size);
    World world;
    char mark = '\x02';
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(script.find_first_of("\x01\x02\x03\x04", start), script.size());
        const std::string_view message = script.substr(start, end - start);
        if (mark == '\x01' || mark == '\x04')
            world.sealed(message, mark == '\x04');
        else
            world.raw(message);
        if (end == script.size())
            break;
        mark = script[end];
        if (mark == '\x03') {
            world.transport->connectionEnded(world.stranger->id());
            world.stranger = world.open();
        }
        start = end + 1;
    }
    return 0;
}
