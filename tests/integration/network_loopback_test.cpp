// SPDX-License-Identifier: MIT
#include "loopback_fixture.h"

namespace vemdo::testing {
namespace {

TEST_F(NetworkLoopbackTest, PairAuthenticateAndMoveOverTcpAndUdp) {
    ASSERT_NE(port, 0);
    Client phone(AF_INET, port);
    ASSERT_TRUE(phone.connected());

    phone.send(R"({"kind":"move","dx":1,"dy":1,"timestamp":1})"
               "\n");
    pairAndAuthenticate(phone, "loopback-phone");
    // The move before authentication was dropped: only moves sent from now on arrive.
    EXPECT_TRUE(backend.mouse().empty());

    phone.send(R"({"kind":"move","dx":10,"dy":5,"timestamp":2})"
               "\n");
    ASSERT_TRUE(waitFor([&] { return backend.mouse().size() == 1; }));
    EXPECT_EQ(backend.mouse().back().position, (Point{1020, 1010}));

    sendDatagram(port, -5, 0);
    ASSERT_TRUE(waitFor([&] { return backend.mouse().size() == 2; }));
    EXPECT_EQ(backend.mouse().back().position, (Point{1010, 1010}));
    EXPECT_TRUE(waitFor([&] { return transport.connectedClients() == 1; }));
}

TEST_F(NetworkLoopbackTest, DatagramsWithoutAnAuthenticatedConnectionAreDropped) {
    sendDatagram(port, 7, 7);
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "late-phone");
    phone.close();
    ASSERT_TRUE(waitFor([&] { return transport.connectedClients() == 0; }));
    sendDatagram(port, 7, 7);
    // A marker that is accepted shows that the earlier datagrams had their chance to arrive.
    Client again(AF_INET6, port);
    ASSERT_TRUE(again.connected());
    pairAndAuthenticate(again, "late-phone-v6");
    again.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
               "\n");
    ASSERT_TRUE(waitFor([&] { return !backend.mouse().empty(); }));
    EXPECT_EQ(backend.mouse().size(), 1u);
}

TEST_F(NetworkLoopbackTest, MessagesCutAnywhereAreAllDelivered) {
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "slow-phone");
    std::string stream;
    for (int i = 0; i < 50; ++i)
        stream += R"({"kind":"move","dx":1,"dy":0,"timestamp":3,"text":"ş😀"})"
                  "\n";
    // Single bytes with TCP_NODELAY arrive as many separate receives, splitting characters between them.
    const int noDelay = 1;
    ::setsockopt(phone.fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    for (std::size_t at = 0; at < stream.size(); at += 7)
        phone.send(std::string_view(stream).substr(at, 7));
    EXPECT_TRUE(waitFor([&] { return backend.mouse().size() == 50; }));
}

TEST_F(NetworkLoopbackTest, EndlessLineIsCutOffWithoutHurtingOthers) {
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "steady-phone");
    Client flooder(AF_INET, port);
    flooder.send(std::string(LineFramer::maxPendingBytes + 10, 'x'));
    EXPECT_TRUE(flooder.closedByServer());

    phone.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
               "\n");
    EXPECT_TRUE(waitFor([&] { return backend.mouse().size() == 1; }));
}

TEST_F(NetworkLoopbackTest, IdleConnectionFloodCannotLockOutAPhone) {
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "flooded-phone");
    std::vector<std::unique_ptr<Client>> idle;
    for (std::size_t i = 0; i < Transport::maxUnauthenticatedConnections + 8; ++i)
        idle.push_back(std::make_unique<Client>(AF_INET, port));
    EXPECT_TRUE(waitFor([&] {
        return transport.connectedClients() == static_cast<int>(Transport::maxUnauthenticatedConnections) + 1;
    })) << transport.connectedClients();
    // The oldest idle connections were the ones closed.
    EXPECT_TRUE(idle.front()->closedByServer());

    phone.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
               "\n");
    EXPECT_TRUE(waitFor([&] { return backend.mouse().size() == 1; }));
}

} // namespace
} // namespace vemdo::testing
