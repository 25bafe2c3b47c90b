// SPDX-License-Identifier: MIT
#include "transport/transport.h"

#include "injection/cg_event_injector.h"
#include "security/security_manager.h"
#include "support/recording_input_backend.h"
#include "support/security_fakes.h"
#include "transport_fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

namespace vemdo::testing {
namespace {

using ::testing::ElementsAre;

constexpr std::string_view phoneAddress = "192.0.2.7";

class TransportTest : public ::testing::Test {
protected:
    TransportTest() {
        backend.setPointer(Point{100, 100});
        injector.emplace(backend, monotonic);
    }

    Transport& transport() {
        if (!m_transport) {
            m_transport.emplace(Transport::Dependencies{
                .security = security,
                .injector = *injector,
                .network = network,
                .mainQueue = mainQueue,
                .clock = clock,
                .strings = strings,
                .requestedPort = 0,
            });
        }
        return *m_transport;
    }

    FakeConnection& connect(std::string address = std::string(phoneAddress)) {
        auto connection = std::make_shared<FakeConnection>(m_nextId++, std::move(address));
        FakeConnection& ref = *connection;
        transport().handleNewConnection(connection);
        m_connections.push_back(std::move(connection));
        return ref;
    }

    void receive(FakeConnection& connection, std::string_view bytes) {
        transport().processReceivedData(connection.id(), bytes);
    }

    // Every reply written so far on the connection, decoded; each must be one object and one line feed.
    std::vector<Packet> replies(const FakeConnection& connection) {
        std::vector<Packet> decoded;
        for (const std::string& wire : connection.sent) {
            EXPECT_FALSE(wire.empty());
            EXPECT_EQ(wire.back(), '\n');
            EXPECT_EQ(wire.find('\n'), wire.size() - 1) << wire;
            auto packet = Packet::decodeJson(wire);
            EXPECT_TRUE(packet.has_value()) << wire;
            if (packet)
                decoded.push_back(*packet);
        }
        return decoded;
    }

    std::string code() { return *security.currentPairingCode(); }

    std::string pair(FakeConnection& connection, std::string_view deviceID) {
        receive(connection, R"({"kind":"pairRequest","timestamp":1,"deviceID":")" + std::string(deviceID) +
                                R"(","pairingCode":")" + code() + "\"}\n");
        auto reply = replies(connection).back();
        EXPECT_EQ(reply.success, true);
        return reply.token.value_or("");
    }

    void authenticate(FakeConnection& connection, std::string_view deviceID, std::string_view token) {
        receive(connection, R"({"kind":"auth","timestamp":1,"deviceID":")" + std::string(deviceID) + R"(","token":")" +
                                std::string(token) + "\"}\n");
        EXPECT_EQ(replies(connection).back().message, "Kimlik doğrulandı");
    }

    FakeConnection& authenticatedPhone(std::string address = std::string(phoneAddress)) {
        FakeConnection& phone = connect(std::move(address));
        const std::string device = "phone-" + std::to_string(phone.id());
        authenticate(phone, device, pair(phone, device));
        phone.sent.clear();
        return phone;
    }

    void end(FakeConnection& connection) { transport().connectionEnded(connection.id()); }

    MemoryDefaultsStore store;
    FakeClock clock{1'750'000'000.25};
    ScriptedRandomSource random{{7, 200, 13, 99, 42, 250, 1, 180, 77, 3, 160, 211}};
    SecurityManager security{store, clock, random};
    RecordingInputBackend backend;
    FakeMonotonicClock monotonic;
    std::optional<CGEventInjector> injector;
    FakeNetwork network;
    ManualTaskQueue mainQueue;
    FakeStrings strings;

private:
    std::optional<Transport> m_transport;
    std::vector<std::shared_ptr<FakeConnection>> m_connections;
    ConnectionId m_nextId = 1;
};

const std::string moveLine = R"({"kind":"move","dx":5,"dy":0,"timestamp":1})"
                             "\n";

TEST_F(TransportTest, WithoutStoredCodeANewCodeIsPublishedThroughTheMainQueue) {
    Transport& t = transport();
    EXPECT_FALSE(t.currentPairingCode().has_value());
    mainQueue.runDue();
    ASSERT_TRUE(t.currentPairingCode().has_value());
    EXPECT_EQ(t.currentPairingCode(), security.currentPairingCode());
    EXPECT_EQ(t.currentPairingCode()->size(), 6u);
}

TEST_F(TransportTest, StoredCodeIsPublishedAtOnceAndNotReplaced) {
    const std::string stored = security.generateNewPairingCode();
    const std::size_t drawn = random.bytesDrawn();
    Transport& t = transport();
    EXPECT_EQ(t.currentPairingCode(), stored);
    EXPECT_EQ(mainQueue.runDue(), 0);
    EXPECT_EQ(random.bytesDrawn(), drawn);
}

TEST_F(TransportTest, RegeneratedCodeIsStoredAtOnceAndPublishedLater) {
    Transport& t = transport();
    mainQueue.runDue();
    const std::string before = *t.currentPairingCode();
    random = ScriptedRandomSource({91, 17, 230, 5, 66, 129});
    t.regeneratePairingCode();
    const std::string stored = *security.currentPairingCode();
    EXPECT_EQ(*t.currentPairingCode(), before);
    mainQueue.runDue();
    EXPECT_EQ(*t.currentPairingCode(), stored);
}

TEST_F(TransportTest, FailedTcpListenerPrintsOneLineAndNeverListens) {
    network.tcpError = "Address already in use";
    strings.translations["transport.tcp_error"] = "TCP dinleyici hatası";
    transport().start();
    ::testing::internal::CaptureStdout();
    network.queue.runDue();
    mainQueue.runDue();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "TCP dinleyici hatası: Address already in use\n");
    EXPECT_FALSE(transport().isListening());
    EXPECT_TRUE(network.udpPorts.empty());
    EXPECT_TRUE(network.advertisements.empty());
}

TEST_F(TransportTest, ReadyListenerOpensUdpOnTheSamePortAndAdvertisesOnce) {
    transport().start();
    network.queue.runDue();
    EXPECT_THAT(network.tcpPorts, ElementsAre(0));
    transport().listenerStateChanged(ListenerState::ready, 50123);
    mainQueue.runDue();
    EXPECT_TRUE(transport().isListening());
    EXPECT_EQ(transport().listeningPort(), 50123);
    EXPECT_THAT(network.udpPorts, ElementsAre(50123));
    EXPECT_THAT(network.advertisements,
                ElementsAre(FakeNetwork::Advertisement{"Vemdo Trackpad", "_vemdo._tcp", 50123}));

    transport().listenerStateChanged(ListenerState::waiting, std::nullopt);
    mainQueue.runDue();
    EXPECT_FALSE(transport().isListening());

    // Every return to ready replaces the datagram socket; the registration already covers the port.
    transport().listenerStateChanged(ListenerState::ready, 50123);
    mainQueue.runDue();
    EXPECT_TRUE(transport().isListening());
    EXPECT_THAT(network.udpPorts, ElementsAre(50123, 50123));
    EXPECT_EQ(network.advertisements.size(), 1u);

    // Ready without a port changes only the published flag.
    transport().listenerStateChanged(ListenerState::failed, std::nullopt);
    transport().listenerStateChanged(ListenerState::ready, std::nullopt);
    mainQueue.runDue();
    EXPECT_EQ(network.udpPorts.size(), 2u);
}

TEST_F(TransportTest, FailedUdpListenerIsReportedAndLeavesTcpListening) {
    network.udpError = "boom";
    ::testing::internal::CaptureStdout();
    transport().listenerStateChanged(ListenerState::ready, 4000);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "UDP Listener creation error: boom\n");
    mainQueue.runDue();
    EXPECT_TRUE(transport().isListening());
}

// Each row is a sequence of receives; the lines are incomplete pairing requests, so every message that
// reaches dispatch is answered and the answers count the dispatched messages.
struct FramingCase {
    const char* name;
    std::vector<std::string> chunks;
    std::size_t dispatched;
};

const std::string bad = R"({"kind":"pairRequest","timestamp":1})";
const std::string badWithText = R"({"kind":"pairRequest","timestamp":1,"deviceID":"şü"})";

class FramingTest : public TransportTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(FramingTest, DispatchesEveryCompleteValidLineOnce) {
    FakeConnection& phone = connect();
    for (const std::string& chunk : GetParam().chunks)
        receive(phone, chunk);
    const auto answers = replies(phone);
    EXPECT_EQ(answers.size(), GetParam().dispatched);
    for (const Packet& answer : answers)
        EXPECT_EQ(answer.message, "Geçersiz pairing isteği");
    EXPECT_EQ(phone.cancelCount, 0);
}

const std::string splitChar = badWithText + "\n";
const std::size_t insideChar = splitChar.find("ş") + 1;

INSTANTIATE_TEST_SUITE_P(
    Chunks, FramingTest,
    ::testing::Values(
        FramingCase{"TwoLinesInOneChunk", {bad + "\n" + bad + "\n"}, 2},
        FramingCase{"LineOverThreeChunks", {bad.substr(0, 5), bad.substr(5, 10), bad.substr(15) + "\n"}, 1},
        FramingCase{"NoLineFeedYet", {bad}, 0},
        FramingCase{"CompleteLineThenSplitLine", {bad + "\n" + bad.substr(0, 9), bad.substr(9) + "\n"}, 2},
        FramingCase{"CarriageReturnBeforeLineFeed", {bad + "\r\n"}, 1},
        FramingCase{"EmptyAndInvalidLinesSkipped", {bad + "\n\n{nope\n" + bad + "\n"}, 2},
        FramingCase{"CharacterSplitBetweenChunks", {splitChar.substr(0, insideChar), splitChar.substr(insideChar)}, 1},
        FramingCase{"InvalidUtf8LineSkippedAlone", {bad + "\n{\"kind\":\"\xff\"}\n" + bad + "\n"}, 2},
        FramingCase{"ByteByByte",
                    [] {
                        std::vector<std::string> bytes;
                        for (char c : splitChar + splitChar)
                            bytes.emplace_back(1, c);
                        return bytes;
                    }(),
                    2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransportTest, PendingLineBeyondTheBoundClosesTheConnection) {
    FakeConnection& phone = connect();
    const std::string chunk(4096, 'x');
    for (std::size_t sent = 0; sent <= LineFramer::maxPendingBytes; sent += chunk.size())
        receive(phone, chunk);
    EXPECT_EQ(phone.cancelCount, 1);
    // Whatever follows is not read any more.
    receive(phone, "\n" + bad + "\n");
    EXPECT_TRUE(phone.sent.empty());
    EXPECT_EQ(phone.cancelCount, 1);
}

TEST_F(TransportTest, InputNeedsAnAuthenticatedConnection) {
    FakeConnection& phone = connect();
    receive(phone, moveLine);
    EXPECT_TRUE(backend.records().empty());
    EXPECT_TRUE(phone.sent.empty());

    const std::string token = pair(phone, "device-1");
    EXPECT_EQ(token.size(), 64u);
    receive(phone, moveLine);
    EXPECT_TRUE(backend.records().empty()) << "pairing alone must not authenticate";

    authenticate(phone, "device-1", token);
    receive(phone, moveLine);
    EXPECT_EQ(backend.records().size(), 1u);

    // Another connection of the same phone starts unauthenticated.
    FakeConnection& other = connect();
    receive(other, moveLine);
    EXPECT_EQ(backend.records().size(), 1u);
}

struct ReplyCase {
    const char* name;
    std::string line;
    Kind kind;
    bool success;
    std::string message;
};

class ReplyTest : public TransportTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, AnswersWithTheTableText) {
    transport();
    security.savePairedDevices({{"known", std::string(64, 'a')}});
    FakeConnection& phone = connect();
    std::string line = GetParam().line;
    if (auto at = line.find("CODE"); at != std::string::npos)
        line.replace(at, 4, code());
    receive(phone, line + "\n");
    const auto answers = replies(phone);
    ASSERT_EQ(answers.size(), 1u);
    const Packet& reply = answers.front();
    EXPECT_EQ(reply.kind, GetParam().kind);
    EXPECT_EQ(reply.success, GetParam().success);
    EXPECT_EQ(reply.message, GetParam().message);
    EXPECT_EQ(reply.token.has_value(), GetParam().success && GetParam().kind == Kind::pairResponse);
    EXPECT_EQ(reply.timestamp, 1'750'000'000'250u);
    EXPECT_FALSE(reply.deviceID || reply.pairingCode || reply.dx || reply.button);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyTest,
    ::testing::Values(
        ReplyCase{"PairWithoutCode", R"({"kind":"pairRequest","timestamp":0,"deviceID":"d"})", Kind::pairResponse,
                  false, "Geçersiz pairing isteği"},
        ReplyCase{"PairWithoutDevice", R"({"kind":"pairRequest","timestamp":0,"pairingCode":"123456"})",
                  Kind::pairResponse, false, "Geçersiz pairing isteği"},
        ReplyCase{"PairWrongCode", R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":"x"})",
                  Kind::pairResponse, false, "Invalid pairing code"},
        ReplyCase{"PairRightCode", R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":"CODE"})",
                  Kind::pairResponse, true, "Paired successfully"},
        ReplyCase{"AuthWithoutToken", R"({"kind":"auth","timestamp":0,"deviceID":"known"})", Kind::auth, false,
                  "Geçersiz kimlik doğrulama"},
        ReplyCase{"AuthUnknownDevice", R"({"kind":"auth","timestamp":0,"deviceID":"stranger","token":"t"})", Kind::auth,
                  false, "Geçersiz token"},
        ReplyCase{"AuthWrongToken", R"({"kind":"auth","timestamp":0,"deviceID":"known","token":"aaaa"})", Kind::auth,
                  false, "Geçersiz token"},
        ReplyCase{"AuthRightToken",
                  R"({"kind":"auth","timestamp":0,"deviceID":"known","token":")" + std::string(64, 'a') + "\"}",
                  Kind::auth, true, "Kimlik doğrulandı"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransportTest, LocalizedPairingTextsComeFromTheStringTable) {
    strings.translations["pairing.invalid_code"] = "Geçersiz eşleştirme kodu";
    strings.translations["pairing.success_message"] = "Eşleştirildi";
    FakeConnection& phone = connect();
    receive(phone, R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":"nope"})"
                   "\n");
    receive(phone, R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":")" + code() + "\"}\n");
    const auto answers = replies(phone);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].message, "Geçersiz eşleştirme kodu");
    EXPECT_EQ(answers[1].message, "Eşleştirildi");
}

TEST_F(TransportTest, RateLimitRefusesEvenTheRightCodeUntilTheWindowMoves) {
    FakeConnection& phone = connect();
    const std::string wrong = R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":"x"})"
                              "\n";
    const std::string incomplete = R"({"kind":"pairRequest","timestamp":0,"deviceID":"d"})"
                                   "\n";
    for (int attempt = 0; attempt < 10; ++attempt) {
        receive(phone, wrong);
        receive(phone, incomplete); // never counted
    }
    receive(phone, R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":")" + code() + "\"}\n");
    EXPECT_EQ(replies(phone).back().message, "Çok fazla deneme. Lütfen bekleyin.");
    clock.advance(60);
    receive(phone, R"({"kind":"pairRequest","timestamp":0,"deviceID":"d","pairingCode":")" + code() + "\"}\n");
    EXPECT_EQ(replies(phone).back().success, true);
}

TEST_F(TransportTest, RotatingDeviceIdsFromOneAddressIsLimitedToo) {
    FakeConnection& guesser = connect("198.51.100.9");
    for (int attempt = 0; attempt < 10; ++attempt) {
        receive(guesser, R"({"kind":"pairRequest","timestamp":0,"deviceID":"d)" + std::to_string(attempt) +
                             R"(","pairingCode":"000000"})"
                             "\n");
    }
    receive(guesser, R"({"kind":"pairRequest","timestamp":0,"deviceID":"fresh","pairingCode":")" + code() + "\"}\n");
    EXPECT_EQ(replies(guesser).back().message, "Çok fazla deneme. Lütfen bekleyin.");

    // A phone elsewhere is not affected by the guesser.
    FakeConnection& phone = connect("192.0.2.50");
    receive(phone, R"({"kind":"pairRequest","timestamp":0,"deviceID":"fresh","pairingCode":")" + code() + "\"}\n");
    EXPECT_EQ(replies(phone).back().success, true);
}

TEST_F(TransportTest, FailedAuthKeepsAnEarlierAuthenticationAndGesturesPostNothing) {
    FakeConnection& phone = authenticatedPhone();
    receive(phone, R"({"kind":"auth","timestamp":0,"deviceID":"phone-1","token":"wrong"})"
                   "\n");
    EXPECT_EQ(replies(phone).back().message, "Geçersiz token");
    phone.sent.clear();
    receive(phone, R"({"kind":"gestureBegin","timestamp":0,"gestureType":"swipeLeft","fingerCount":3})"
                   "\n");
    EXPECT_TRUE(backend.records().empty());
    EXPECT_TRUE(phone.sent.empty());
    receive(phone, moveLine);
    EXPECT_EQ(backend.records().size(), 1u);
}

TEST_F(TransportTest, ConnectedClientsFollowsAcceptedAndEndedConnections) {
    Transport& t = transport();
    FakeConnection& a = connect();
    FakeConnection& b = connect();
    mainQueue.runDue();
    EXPECT_EQ(t.connectedClients(), 2);
    end(a);
    mainQueue.runDue();
    EXPECT_EQ(t.connectedClients(), 1);
    end(b);
    mainQueue.runDue();
    EXPECT_EQ(t.connectedClients(), 0);
    // Late data for a connection that has gone is ignored.
    receive(a, bad + "\n");
    EXPECT_TRUE(a.sent.empty());
}

TEST_F(TransportTest, HeldInputIsReleasedWhenTheLastAuthenticatedConnectionEnds) {
    FakeConnection& first = authenticatedPhone();
    FakeConnection& second = authenticatedPhone();
    FakeConnection& stranger = connect();
    receive(first, R"({"kind":"down","button":0,"timestamp":0})"
                   "\n"
                   R"({"kind":"keyDown","keyCode":55,"timestamp":0})"
                   "\n");
    ASSERT_TRUE(injector->isLeftButtonDown());
    ASSERT_TRUE(injector->commandPressed());

    end(first);
    EXPECT_TRUE(injector->isLeftButtonDown()) << "another phone is still connected and may be dragging";
    end(stranger);
    EXPECT_TRUE(injector->isLeftButtonDown());
    end(second);
    EXPECT_FALSE(injector->isLeftButtonDown());
    EXPECT_FALSE(injector->commandPressed());
}

std::vector<std::uint8_t> moveDatagram(float dx, float dy) {
    std::vector<std::uint8_t> bytes(13, 0);
    bytes[0] = 1;
    std::memcpy(&bytes[1], &dx, 4);
    std::memcpy(&bytes[5], &dy, 4);
    return bytes;
}

TEST_F(TransportTest, DatagramsAreInjectedOnlyForAddressesWithAnAuthenticatedConnection) {
    const auto datagram = moveDatagram(3, -2);
    transport().handleDatagram(datagram, "192.0.2.7");
    EXPECT_TRUE(backend.records().empty());

    FakeConnection& phone = authenticatedPhone("::ffff:192.0.2.7");
    transport().handleDatagram(datagram, "192.0.2.7");
    EXPECT_EQ(backend.records().size(), 1u);
    EXPECT_EQ(injector->lastX(), 106);
    EXPECT_EQ(injector->lastY(), 96);
    transport().handleDatagram(datagram, "::ffff:192.0.2.7");
    EXPECT_EQ(backend.records().size(), 2u);
    transport().handleDatagram(datagram, "192.0.2.8");
    EXPECT_EQ(backend.records().size(), 2u);
    transport().handleDatagram(std::span(datagram).first(12), "192.0.2.7");
    EXPECT_EQ(backend.records().size(), 2u);

    end(phone);
    transport().handleDatagram(datagram, "192.0.2.7");
    EXPECT_EQ(backend.records().size(), 2u);
}

TEST_F(TransportTest, UnauthenticatedConnectionsBeyondTheCapCloseTheOldestFirst) {
    FakeConnection& phone = authenticatedPhone();
    std::vector<FakeConnection*> idle;
    for (std::size_t i = 0; i < Transport::maxUnauthenticatedConnections; ++i)
        idle.push_back(&connect("203.0.113.5"));
    for (FakeConnection* c : idle)
        EXPECT_EQ(c->cancelCount, 0);

    FakeConnection& newest = connect("203.0.113.5");
    EXPECT_EQ(idle.front()->cancelCount, 1);
    EXPECT_EQ(idle[1]->cancelCount, 0);
    EXPECT_EQ(newest.cancelCount, 0);
    EXPECT_EQ(phone.cancelCount, 0);

    // Until its end is reported the closing one no longer counts, so the next newcomer closes the next oldest.
    connect("203.0.113.5");
    EXPECT_EQ(idle.front()->cancelCount, 1);
    EXPECT_EQ(idle[1]->cancelCount, 1);

    receive(phone, moveLine);
    EXPECT_EQ(backend.records().size(), 1u);
}

struct AddressCase {
    std::string input;
    std::string expected;
};

TEST(NormalizedAddress, MapsOnlyDottedIpv4MappedAddresses) {
    const std::vector<AddressCase> cases = {
        {"::ffff:192.0.2.7", "192.0.2.7"}, {"::FFFF:10.0.0.1", "10.0.0.1"},
        {"192.0.2.7", "192.0.2.7"},        {"fe80::1%eth0", "fe80::1%eth0"},
        {"::ffff:1:2", "::ffff:1:2"},      {"::ffff:", "::ffff:"},
        {"2001:db8::1", "2001:db8::1"},    {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalizedAddress(c.input), c.expected) << c.input;
}

} // namespace
} // namespace vemdo::testing
