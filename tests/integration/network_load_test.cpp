// SPDX-License-Identifier: MIT
// Bounded load and abuse against the transport on real sockets, while one paired phone keeps working.
#include "loopback_fixture.h"

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <random>

namespace vemdo::testing {
namespace {

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

class NetworkLoadTest : public NetworkLoopbackTest {
protected:
    static void SetUpTestSuite() {
        NetworkLoopbackTest::SetUpTestSuite();
        // Both ends of every connection live in this process.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
};

constexpr int connectionsPerRound = 500;

// AddressSanitizer keeps freed blocks in quarantine, so under it the resident size says nothing about growth.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool residentSizeIsMeaningful = false;
#else
constexpr bool residentSizeIsMeaningful = true;
#endif

TEST_F(NetworkLoadTest, AbuseFromManyConnectionsNeverStopsAnAuthenticatedPhone) {
    Client phone(AF_INET, port);
    const std::string token = pairAndAuthenticate(phone, "steady-phone");
    const long residentBefore = residentKilobytes();
    std::mt19937 generator(42);
    int movesSent = 0;

    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<Client>> crowd;
        for (int i = 0; i < connectionsPerRound; ++i) {
            // Pairing guesses come from 50 different addresses, each with ever new device IDs.
            const std::string source = "127.0.1." + std::to_string(1 + i % 50);
            auto client = std::make_unique<Client>(AF_INET, port, source.c_str());
            switch (i % 5) {
            case 0: { // junk, including invalid UTF-8 and stray line feeds
                std::string junk(512, '\0');
                for (char& c : junk)
                    c = static_cast<char>(generator());
                client->send(junk);
                break;
            }
            case 1: // a slow sender that never finishes its line
                client->send(R"({"kind":"pairRequest","devi)");
                break;
            case 2: // half-open: the peer stops sending but keeps reading
                ::shutdown(client->fd(), SHUT_WR);
                break;
            case 3: { // abrupt reset
                linger hard{1, 0};
                ::setsockopt(client->fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                client->close();
                break;
            }
            case 4:
                client->send(R"({"kind":"pairRequest","timestamp":1,"deviceID":"guess-)" + std::to_string(round) + "-" +
                             std::to_string(i) +
                             R"(","pairingCode":"000000"})"
                             "\n");
                break;
            }
            crowd.push_back(std::move(client));
            if (i % 25 == 0) {
                phone.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
                           "\n");
                ++movesSent;
            }
        }
        ASSERT_TRUE(waitFor([&] { return static_cast<int>(backend.mouse().size()) == movesSent; }, 20000ms))
            << backend.mouse().size() << " of " << movesSent;
        crowd.clear();
        EXPECT_TRUE(waitFor([&] { return transport.connectedClients() == 1; }, 20000ms))
            << transport.connectedClients();
    }

    // The phone's pairing survived and still authenticates a fresh connection.
    EXPECT_EQ(security.loadPairedDevices().at("steady-phone"), token);
    Client again(AF_INET, port);
    again.send(R"({"kind":"auth","timestamp":1,"deviceID":"steady-phone","token":")" + token + "\"}\n");
    auto reply = Packet::decodeJson(again.readLine().value_or(""));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->success, true);

    // Bounded growth: what remains is the kernel's and Qt's buffers, not one entry per abusive connection.
    const long grownKilobytes = residentKilobytes() - residentBefore;
    std::printf("resident size: %ld KiB before, grew by %ld KiB over %d abusive connections\n", residentBefore,
                grownKilobytes, 3 * connectionsPerRound);
    if (residentSizeIsMeaningful) {
        EXPECT_LT(grownKilobytes, 64 * 1024) << "resident size grew by " << grownKilobytes << " KiB";
    }
}

} // namespace
} // namespace vemdo::testing
