// SPDX-License-Identifier: MIT
#include "transport/transport.h"

#include "injection/input_injector.h"
#include "security/security_manager.h"
#include "support/fakes.h"

#include <gtest/gtest.h>

namespace vemdo::testing {
namespace {

using Records = std::vector<InputRecord>;
const std::string moveLine = line("move", R"("dx":5,"dy":0)");
// An incomplete pairing request: every one that reaches dispatch is answered, so answers count them.
const std::string bad = line("pairRequest");

class TransportTest : public ::testing::Test, protected TransportFakes {
protected:
    Transport& transport() {
        if (!m_transport)
            m_transport.emplace(
                Transport::Dependencies{security, injector, network, mainQueue, clock, random, strings, 0});
        return *m_transport;
    }
    FakeConnection& connect(std::string address = "192.0.2.7", ConnectionKind kind = ConnectionKind::phoneApp) {
        m_connections.push_back(std::make_shared<FakeConnection>(m_connections.size() + 1, std::move(address), kind));
        transport().handleNewConnection(m_connections.back());
        return *m_connections.back();
    }
    void receive(FakeConnection& connection, std::string_view bytes) {
        transport().processReceivedData(connection.id(), bytes);
    }
    void end(FakeConnection& connection) { transport().connectionEnded(connection.id()); }
    // The replies written so far; each must be exactly one compact JSON object and a line feed.
    std::vector<Packet> replies(const FakeConnection& connection) {
        std::vector<Packet> decoded;
        for (const std::string& wire : connection.sent) {
            auto packet = Packet::decodeJson(wire);
            EXPECT_TRUE(packet && wire == *packet->encodeJson() + "\n") << wire;
            decoded.push_back(packet.value_or(Packet{}));
        }
        return decoded;
    }
    std::string code() { return *security.currentPairingCode(); }
    FakeConnection& authenticated(std::string address = "192.0.2.7", ConnectionKind kind = ConnectionKind::phoneApp) {
        FakeConnection& phone = connect(std::move(address), kind);
        const std::string device = "phone-" + std::to_string(phone.id());
        receive(phone, pairLine(device, code()));
        receive(phone, authLine(device, replies(phone).back().token.value_or("")));
        EXPECT_EQ(replies(phone).back().success, true);
        phone.sent.clear();
        return phone;
    }

private:
    std::optional<Transport> m_transport;
    std::vector<std::shared_ptr<FakeConnection>> m_connections;
};

TEST_F(TransportTest, StoredCodeIsKeptAndNewCodesArePublishedThroughTheMainQueue) {
    const std::string stored = security.generateNewPairingCode();
    const std::size_t drawn = random.bytesDrawn();
    EXPECT_EQ(transport().currentPairingCode(), stored);
    EXPECT_EQ(random.bytesDrawn(), drawn);
    transport().regeneratePairingCode();
    const std::string fresh = code();
    EXPECT_NE(fresh, stored);
    EXPECT_EQ(transport().currentPairingCode(), stored);
    mainQueue.runDue();
    EXPECT_EQ(transport().currentPairingCode(), fresh);
}

TEST_F(TransportTest, ListenerErrorIsOneLineInTheUsersLanguage) {
    network.tcpError = "Address already in use";
    strings.translations["transport.tcp_error"] = "TCP dinleyici hatası";
    transport().start();
    ::testing::internal::CaptureStdout();
    network.queue.runDue();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "TCP dinleyici hatası: Address already in use\n");
    EXPECT_TRUE(network.udpPorts.empty());
}

TEST_F(TransportTest, LinesAreFramedWhereverTheStreamIsCutAndBounded) {
    const std::string split = line("pairRequest", R"("deviceID":"şü")");
    const std::size_t inside = split.find("ş") + 1;
    std::vector<std::string> bytes;
    for (char c : bad + bad)
        bytes.emplace_back(1, c);
    std::vector<std::string> atBound(16, std::string(4096, 'x')), overBound(17, std::string(4096, 'x'));
    atBound.push_back("\n" + bad);
    const std::tuple<const char*, std::vector<std::string>, std::size_t, int> rows[] = {
        {"two lines in one chunk", {bad + bad}, 2, 0},
        {"a line over three chunks", {bad.substr(0, 5), bad.substr(5, 10), bad.substr(15)}, 1, 0},
        {"no line feed yet", {bad.substr(0, bad.size() - 1)}, 0, 0},
        {"carriage return before the line feed", {bad.substr(0, bad.size() - 1) + "\r\n"}, 1, 0},
        {"empty, undecodable and invalid UTF-8 lines skipped", {bad + "\n{nope\n{\"kind\":\"\xff\"}\n" + bad}, 2, 0},
        {"a character split between receives", {split.substr(0, inside), split.substr(inside)}, 1, 0},
        {"byte by byte", bytes, 2, 0},
        {"a pending line of 64 KiB", atBound, 1, 0},
        {"a pending line beyond 64 KiB closes the connection", overBound, 0, 1},
    };
    for (const auto& [name, chunks, answered, cancels] : rows) {
        SCOPED_TRACE(name);
        FakeConnection& phone = connect();
        for (const std::string& chunk : chunks)
            receive(phone, chunk);
        EXPECT_EQ(replies(phone).size(), answered);
        EXPECT_EQ(phone.cancels, cancels);
    }
}

TEST_F(TransportTest, RepliesToPairingAndAuthentication) {
    transport();
    const std::string known(64, 'a'), longest(256, 'd');
    store.setData(SecurityManager::pairedDevicesKey, R"({"known":")" + known + "\"}");
    strings.translations["pairing.success_message"] = "Eşleştirildi";
    const std::tuple<std::string, Kind, bool, std::string> rows[] = {
        {line("pairRequest", R"("deviceID":"d")"), Kind::pairResponse, false, "Geçersiz pairing isteği"},
        {pairLine(longest + "d", code()), Kind::pairResponse, false, "Geçersiz pairing isteği"},
        {pairLine(longest, "000000"), Kind::pairResponse, false, "Invalid pairing code"},
        {pairLine(longest, code()), Kind::pairResponse, true, "Eşleştirildi"},
        {line("auth", R"("deviceID":"known")"), Kind::auth, false, "Geçersiz kimlik doğrulama"},
        {authLine("known", "aaaa"), Kind::auth, false, "Geçersiz token"},
        {authLine("known", known), Kind::auth, true, "Kimlik doğrulandı"},
    };
    for (const auto& [request, kind, success, message] : rows) {
        SCOPED_TRACE(request);
        FakeConnection& phone = connect();
        receive(phone, request);
        const auto answers = replies(phone);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].kind, kind);
        EXPECT_EQ(answers[0].success, success);
        EXPECT_EQ(answers[0].message, message);
        EXPECT_EQ(answers[0].timestamp, 1'750'000'000'250u);
        // The pairing reply carries the token just stored for the device, and only that reply carries one.
        const bool paired = success && kind == Kind::pairResponse;
        EXPECT_EQ(answers[0].token, paired ? std::optional(security.loadPairedDevices().at(longest)) : std::nullopt);
    }
}

// Ten wrong guesses from one address, each with a new device ID, then the right code from another: an IPv6
// host can take any address of its /64, so there the prefix counts.
TEST_F(TransportTest, PairingAttemptsAreLimitedPerNetworkWhateverTheDeviceID) {
    const std::tuple<std::string, std::string, bool> rows[] = {
        {"::ffff:198.51.100.9", "198.51.100.9", true},     {"198.51.100.9", "198.51.100.10", false},
        {"2001:db8:1:2::5", "2001:db8:1:2:ffff::9", true}, {"2001:db8:1:2::5", "2001:db8:1:3::5", false},
        {"fe80::1%eth0", "fe80::2:3%wlan0", true},
    };
    for (const auto& [first, second, shared] : rows) {
        FakeConnection& guesser = connect(first);
        for (int attempt = 0; attempt < 10; ++attempt)
            receive(guesser, pairLine(first + std::to_string(attempt), "000000"));
        FakeConnection& again = connect(second);
        receive(again, pairLine(second, code()));
        EXPECT_EQ(replies(again).back().success, !shared) << first << " then " << second;
        clock.advance(60);
    }
}

// A hundred wrong guesses from ten networks, by the app's lines and the page's exchanges alike, each counted
// once against its network's ten a minute and once against the code: a network's eleventh attempt is refused
// (a browser's before its share is answered), and after the hundredth even the right code is, and the menu is
// told, until a new code is made; a paired phone goes on authenticating and moving.
TEST_F(TransportTest, ACodeTakesAHundredWrongGuessesThenWaitsForANewOne) {
    FakeConnection& phone = authenticated();
    // Each browser's close code and how many messages it was sent: a refused attempt gets no reply to its share.
    std::vector<std::pair<std::optional<std::uint16_t>, std::size_t>> refusals, expected;
    for (int n = 0; n < 10; ++n) {
        const std::string network = "198.51.100." + std::to_string(n);
        FakeConnection& guesser = connect(network);
        for (int attempt = 0; attempt <= 10; ++attempt) {
            const std::string device = std::to_string(n * 11 + attempt);
            if (n % 2 == 0) {
                receive(guesser, pairLine(device, "000000"));
                continue;
            }
            FakeConnection& page = connect(network, ConnectionKind::browserPage);
            pageExchange(transport(), page, "pair", device, attempt < 10 ? "000000" : code());
            refusals.emplace_back(page.refusal, page.sent.size());
            expected.emplace_back(attempt < 10 ? 4001 : n < 9 ? 4002 : 4003, attempt < 10 ? 2 : 1);
        }
    }
    EXPECT_EQ(refusals, expected);
    FakeConnection& newcomer = connect("203.0.113.1");
    receive(newcomer, pairLine("newcomer", code()));
    receive(phone, authLine("phone-1", security.loadPairedDevices().at("phone-1")) + moveLine);
    mainQueue.runDue();
    EXPECT_TRUE(transport().pairingStopped());
    transport().regeneratePairingCode();
    network.queue.runDue();
    mainQueue.runDue();
    EXPECT_FALSE(transport().pairingStopped());
    receive(newcomer, pairLine("newcomer", code()));
    EXPECT_EQ(replies(newcomer)[0].message, "Çok fazla deneme. Lütfen bekleyin.");
    EXPECT_EQ(replies(newcomer)[1].success, true);
    EXPECT_EQ(replies(phone).back().success, true);
    EXPECT_EQ(backend.records().size(), 1u);
}

// A browser pairs by the exchange over the code and is handed its secret sealed, kept apart from the phones'
// tokens, and it returns by the same exchange with it (what it sends then: the fuzz target and
// server_gate_test.py). Before the channel exists a refusal is a close code, and only what the page can show.
TEST_F(TransportTest, ABrowserPairsAndReturnsByTheExchangeOrIsRefusedByCloseCodes) {
    FakeConnection& pairing = connect("192.0.2.9", ConnectionKind::browserPage);
    auto channel = pageExchange(transport(), pairing, "pair", "b", code());
    ASSERT_TRUE(channel && pairing.sent.size() == 4);
    const auto reply = Packet::decodeJson(textOf(channel->incoming.open(cpace::bytesOf(pairing.sent[3])).value()));
    const std::string secret = reply.value().token.value_or("");
    EXPECT_EQ(store.data(SecurityManager::browserSecretsKey), R"({"b":")" + secret + "\"}");
    EXPECT_EQ(std::pair(secret.size(), security.loadPairedDevices().size()), std::pair(64ul, 0ul));
    const std::tuple<std::string, std::string, std::string, bool, std::optional<std::uint16_t>> rows[] = {
        // mode, device, password, store reads fail, close code
        {"secret", "b", secret, false, std::nullopt},
        {"secret", "b", "0", false, 4004},
        {"secret", "unknown", "0", false, 4004},
        {"other", "b", "0", false, 4000},
        {"pair", "", code(), false, 4000},
        {"pair", std::string(257, 'd'), code(), false, 4000},
        {"pair", "c", code(), true, 4005},
    };
    for (const auto& [mode, device, password, failReads, refusal] : rows) {
        store.failReads(failReads);
        FakeConnection& page = connect("198.51.100.7", ConnectionKind::browserPage);
        channel = pageExchange(transport(), page, mode, device, password);
        EXPECT_EQ(std::tuple(page.refusal, page.cancels, channel.has_value()),
                  std::tuple(refusal, refusal ? 1 : 0, !refusal))
            << mode << device;
    }
    store.failReads(false);
}

// A peer that never reads, or only collects refusals, is closed; the refusal that closes it is still sent,
// and nothing after it is read.
TEST_F(TransportTest, UnreadRepliesAndRepeatedRefusalsCloseAConnection) {
    const std::tuple<bool, int, std::size_t, std::size_t, int> rows[] = {
        // authenticated, refusals sent, unread bytes, answered, cancels
        {false, 19, 0, 19, 0},      {false, 22, 0, 20, 1},          {true, 25, 0, 25, 0},
        {true, 1, 64 * 1024, 1, 0}, {true, 3, 64 * 1024 + 1, 1, 1},
    };
    for (const auto& [signedIn, refusals, unread, answered, cancels] : rows) {
        FakeConnection& peer = signedIn ? authenticated() : connect();
        peer.unsent = unread;
        std::string chunk;
        for (int i = 0; i < refusals; ++i)
            chunk += bad;
        receive(peer, chunk);
        EXPECT_EQ(std::pair(replies(peer).size(), peer.cancels), std::pair(answered, cancels)) << refusals;
    }
}

TEST_F(TransportTest, InputIsInjectedOnlyFromAConnectionThatAuthenticated) {
    FakeConnection& phone = connect();
    receive(phone, moveLine);
    receive(phone, pairLine("device", code()));
    const std::string token = replies(phone).back().token.value_or("");
    receive(phone, moveLine);
    EXPECT_TRUE(backend.records().empty()) << "pairing alone must not authenticate";
    receive(phone, authLine("device", token));
    receive(phone, moveLine + line("gestureBegin", R"("gestureType":"swipeLeft","fingerCount":3)"));
    FakeConnection& other = connect();
    receive(other, moveLine);
    EXPECT_EQ(backend.records(), (Records{Point{110, 200}}));
}

TEST_F(TransportTest, DatagramsNeedAnAuthenticatedConnectionFromTheirHost) {
    const auto move = moveDatagram(3, -2);
    transport().handleDatagram(move, "192.0.2.7");
    FakeConnection& phone = authenticated("::ffff:192.0.2.7");
    connect("192.0.2.8");
    // A browser never sends datagrams, so its address unlocks none.
    EXPECT_TRUE(pageExchange(transport(), connect("192.0.2.9", ConnectionKind::browserPage), "pair", "b", code()));
    transport().handleDatagram(move, "192.0.2.7");
    transport().handleDatagram(move, "192.0.2.8");
    transport().handleDatagram(move, "192.0.2.9");
    end(phone);
    transport().handleDatagram(move, "192.0.2.7");
    EXPECT_EQ(backend.records(), (Records{Point{106, 196}}));
}

// A store that cannot be read or written is the computer's fault: the phone is told so, not that its code or
// token is wrong, nothing counts against its network, and the menu says that settings cannot be saved.
TEST_F(TransportTest, AStoreThatFailsIsNoWrongCodeAndTheMenuSaysSo) {
    authenticated();
    const std::string text = "Ayarlar kaydedilemiyor", right = pairLine("new", code()), wrong = pairLine("new", "0");
    strings.translations["pairing.store_error"] = text;
    // Twelve of each from one network, more than its window holds.
    for (const auto& [failReads, request] : {std::pair(false, right), std::pair(true, right), std::pair(true, wrong)}) {
        store.failReads(failReads);
        store.failWrites(!failReads);
        FakeConnection& peer = connect("198.51.100.1");
        for (int attempt = 0; attempt < 12; ++attempt)
            receive(peer, request);
        for (const Packet& answer : replies(peer))
            EXPECT_EQ(std::tuple(answer.success, answer.message, answer.token),
                      std::tuple(std::optional(false), std::optional(text), std::optional<std::string>()))
                << request;
    }
    mainQueue.runDue();
    EXPECT_TRUE(transport().settingsUnsaved());
    store.failReads(false);
    store.failWrites(false);
    FakeConnection& later = connect("198.51.100.1");
    receive(later, right + authLine("phone-1", security.loadPairedDevices().at("phone-1")));
    const auto answers = replies(later);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].success.value_or(false) && answers[1].success.value_or(false));
    mainQueue.runDue();
    EXPECT_FALSE(transport().settingsUnsaved());
}

TEST(HttpRequestLine, WhatABrowserSendsAndNoMessageOfOurs) {
    const std::pair<std::string_view, bool> rows[] = {
        {"POST / HTTP/1.1\r", true},
        {"GET /index.html?x=1 HTTP/1.0", true},
        {"OPTIONS * HTTP/1.1", true},
        {"M-SEARCH * HTTP/1.1", true},
        {"POST / HTTP/", true},
        {R"({"kind":"pairRequest","timestamp":1} HTTP/1.1)", false},
        {R"( {"kind":"move"})", false},
        {"POST /", false},
        {"POST  HTTP/1.1", false},
        {" GET / HTTP/1.1", false},
        {"GET / http/1.1", false},
        {"GE{T / HTTP/1.1", false},
        {"", false},
    };
    for (const auto& [line, expected] : rows)
        EXPECT_EQ(isHttpRequestLine(line), expected) << line;
}

// A web page can make the user's browser post JSON lines to the phone port: such a connection is closed
// unread (server_gate_test.py), but a request line after a message of ours is only an undecodable line.
TEST_F(TransportTest, AnHttpRequestLineOnlyOpensAConnection) {
    FakeConnection& page = connect("198.51.100.1");
    receive(page, "POST / HT");
    receive(page, "TP/1.1\r\n" + pairLine("web", code()));
    EXPECT_TRUE(page.sent.empty());
    EXPECT_EQ(page.cancels, 1);
    FakeConnection& phone = connect("198.51.100.1");
    receive(phone, pairLine("phone", code()) + "GET / HTTP/1.1\n" + bad);
    EXPECT_EQ(replies(phone).size(), 2u);
    EXPECT_EQ(replies(phone)[0].success, true);
    EXPECT_EQ(phone.cancels, 0);
}

TEST_F(TransportTest, HeldInputIsReleasedWhenTheLastAuthenticatedPhoneLeaves) {
    FakeConnection& first = authenticated();
    FakeConnection& second = authenticated();
    FakeConnection& stranger = connect();
    receive(first, line("down", R"("button":0)") + line("keyDown", R"("keyCode":55)"));
    backend.clear();
    end(first);
    end(stranger);
    EXPECT_TRUE(backend.records().empty()) << "another phone may still be dragging";
    end(second);
    EXPECT_EQ(backend.records(),
              (Records{ButtonEvent{PointerButton::left, false, {100, 200}}, KeyEvent{55, false, false, std::nullopt}}));
}

// Beyond 32 connections waiting to authenticate the busiest network loses its oldest, so that a flood from
// one host cannot push out a phone; when every network holds one, that is the oldest of all.
TEST_F(TransportTest, BeyondThirtyTwoUnauthenticatedConnectionsTheBusiestNetworkLosesItsOldest) {
    FakeConnection& paired = authenticated();
    for (const bool oneNetwork : {true, false}) {
        FakeConnection& phone = connect("192.0.2.50");
        std::vector<FakeConnection*> flood;
        for (int i = 1; i <= 34; ++i)
            flood.push_back(&connect((oneNetwork ? "2001:db8::" : "203.0.113.") + std::to_string(i)));
        std::vector<int> cancels{paired.cancels, phone.cancels};
        for (FakeConnection* peer : {flood[0], flood[1], flood[2], flood[33]})
            cancels.push_back(peer->cancels);
        EXPECT_EQ(cancels, oneNetwork ? (std::vector<int>{0, 0, 1, 1, 1, 0}) : (std::vector<int>{0, 1, 1, 1, 0, 0}));
        mainQueue.runDue();
        // Closing connections count until their end is reported.
        EXPECT_EQ(transport().connectedClients(), 36);
        end(phone);
        for (FakeConnection* peer : flood)
            end(*peer);
    }
}

} // namespace
} // namespace vemdo::testing
