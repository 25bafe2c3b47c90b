// SPDX-License-Identifier: MIT
#include "security/cpace.h"
#include "security/pake_exchange.h"
#include "security/sealed_channel.h"
#include "support/fakes.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vemdo {
namespace {

using namespace vemdo::testing;

Bytes hex(std::string_view text) {
    // One spare byte, so that libsodium is never handed the null data of an empty vector.
    Bytes bytes(text.size() / 2 + 1);
    EXPECT_EQ(sodium_hex2bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, nullptr, nullptr), 0);
    bytes.pop_back();
    return bytes;
}

std::string hexOf(ByteView bytes) {
    std::string text(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes.data(), bytes.size());
    text.pop_back();
    return text;
}

Bytes text(std::string_view value) {
    return {value.begin(), value.end()};
}

// Shared with tests/web/pake.test.js, which checks the page's implementation against the same values.
const rapidjson::Document& vectors() {
    static const rapidjson::Document document = [] {
        std::ifstream file(VEMDO_TEST_DATA "/security/pake_vectors.json");
        std::stringstream content;
        content << file.rdbuf();
        rapidjson::Document parsed;
        parsed.Parse(content.str().c_str());
        return parsed;
    }();
    return document;
}

Bytes field(const rapidjson::Value& object, const char* name) {
    return hex(object[name].GetString());
}

template <class Array> Array fixed(const rapidjson::Value& object, const char* name) {
    const Bytes bytes = field(object, name);
    Array array{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), array.size()), array.begin());
    return array;
}

TEST(Cpace, DraftVectors) {
    ASSERT_TRUE(cpace::sodiumReady());
    const auto& draft = vectors()["draft"];
    const Bytes prs = field(draft, "PRS"), ci = field(draft, "CI"), sid = field(draft, "sid");
    EXPECT_EQ(hexOf(cpace::generatorString(prs, ci, sid)), draft["generatorString"].GetString());
    const cpace::Point g = cpace::calculateGenerator(prs, ci, sid);
    EXPECT_EQ(hexOf(g), draft["g"].GetString());

    const auto ya = fixed<cpace::Scalar>(draft, "ya"), yb = fixed<cpace::Scalar>(draft, "yb");
    const auto shareA = cpace::scalarMult(ya, g), shareB = cpace::scalarMult(yb, g);
    ASSERT_TRUE(shareA && shareB);
    EXPECT_EQ(hexOf(*shareA), draft["Ya"].GetString());
    EXPECT_EQ(hexOf(*shareB), draft["Yb"].GetString());
    const auto kA = cpace::scalarMult(ya, *shareB), kB = cpace::scalarMult(yb, *shareA);
    ASSERT_TRUE(kA && kB);
    EXPECT_EQ(hexOf(*kA), draft["K"].GetString());
    EXPECT_EQ(hexOf(*kB), draft["K"].GetString());
    const auto agreement = cpace::agree(sid, *kA, *shareA, field(draft, "ADa"), *shareB, field(draft, "ADb"));
    EXPECT_EQ(hexOf(agreement.isk), draft["ISK"].GetString());

    for (const auto& invalid : draft["invalidShares"].GetArray())
        EXPECT_FALSE(cpace::scalarMult(ya, hex(invalid.GetString()))) << invalid.GetString();
}

// The draft's lv_cat vector, and a part long enough for a two-byte length.
TEST(Cpace, LengthValueEncoding) {
    const std::vector<Bytes> parts = {text("1234"), text("5"), {}, text("678")};
    EXPECT_EQ(cpace::lvSplit(hex("043132333401350003363738")), parts);
    EXPECT_EQ(hexOf(cpace::lvCat({parts[0], parts[1], parts[2], parts[3]})), "043132333401350003363738");
    const Bytes long128(128, 7), encoded = cpace::lvCat({long128});
    EXPECT_EQ(hexOf(ByteView(encoded).first(2)), "8001");
    EXPECT_EQ(cpace::lvSplit(encoded), std::vector<Bytes>{long128});
    // Past the end, a second encoding of the same length, a truncated and an overlong prefix.
    for (const char* malformed : {"05313233", "8000", "80", "80808001"})
        EXPECT_FALSE(cpace::lvSplit(hex(malformed))) << malformed;
}

std::vector<std::string> channelOf(const rapidjson::Value& exchange) {
    std::vector<std::string> channel;
    for (const auto& part : exchange["channel"].GetArray())
        channel.emplace_back(part.GetString());
    return channel;
}

TEST(PakeExchange, MatchesTheRecordedExchangeByteForByte) {
    const auto& exchange = vectors()["exchange"];
    const std::vector<std::string> channel = channelOf(exchange);
    ScriptedRandomSource initiatorRandom(field(exchange, "initiatorRandom"));
    ScriptedRandomSource responderRandom(field(exchange, "responderRandom"));
    PakeResponder responder(channel, responderRandom);
    PakeInitiator initiator(field(exchange, "password"), channel, field(exchange, "initiatorData"), initiatorRandom);

    EXPECT_EQ(hexOf(responder.hello()), exchange["hello"].GetString());
    const auto share = initiator.readHello(responder.hello());
    ASSERT_TRUE(share);
    EXPECT_EQ(hexOf(*share), exchange["share"].GetString());
    EXPECT_EQ(responder.readShare(*share), field(exchange, "initiatorData"));
    const auto reply = responder.reply(field(exchange, "password"), field(exchange, "responderData"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(hexOf(*reply), exchange["reply"].GetString());
    const auto confirmation = initiator.readReply(*reply);
    ASSERT_TRUE(confirmation);
    EXPECT_EQ(hexOf(*confirmation), exchange["initiatorConfirmation"].GetString());
    auto established = responder.readConfirmation(*confirmation);
    ASSERT_TRUE(established);
    EXPECT_EQ(hexOf(established->confirmation), exchange["responderConfirmation"].GetString());
    auto channelOfInitiator = initiator.readConfirmation(established->confirmation);
    ASSERT_TRUE(channelOfInitiator);

    struct Direction {
        const char* name;
        SealedChannel& from;
        SealedChannel& to;
    };
    const Direction directions[] = {{"initiatorFrames", *channelOfInitiator, established->channel},
                                    {"responderFrames", established->channel, *channelOfInitiator}};
    for (const auto& [name, from, to] : directions) {
        for (const auto& frame : exchange[name].GetArray()) {
            const Bytes sealed = from.outgoing.seal(field(frame, "plaintext"));
            EXPECT_EQ(hexOf(sealed), frame["frame"].GetString()) << name;
            EXPECT_EQ(to.incoming.open(sealed), field(frame, "plaintext")) << name;
        }
    }
}

// Both sides run with the same inputs unless a row changes them; alteredMessage (1 to 5) flips a bit of
// that message on its way.
struct ExchangeRow {
    const char* name;
    std::string responderPassword = "123456";
    std::string responderChannel = "pad.test:27183";
    int alteredMessage = 0;
    bool responderEstablished = false;
    bool initiatorEstablished = false;
};

TEST(PakeExchange, AnyDifferenceInPasswordChannelOrMessagesFailsConfirmation) {
    const ExchangeRow rows[] = {
        {.name = "same inputs", .responderEstablished = true, .initiatorEstablished = true},
        {.name = "wrong password", .responderPassword = "123457"},
        {.name = "other channel", .responderChannel = "pad.test:27184"},
        {.name = "hello altered", .alteredMessage = 1},
        {.name = "share's data altered", .alteredMessage = 2},
        {.name = "reply's data altered", .alteredMessage = 3},
        {.name = "initiator's tag altered", .alteredMessage = 4},
        {.name = "responder's tag altered", .alteredMessage = 5, .responderEstablished = true},
    };
    for (const auto& row : rows) {
        ScriptedRandomSource initiatorRandom({1, 2, 3}), responderRandom({4, 5, 6});
        PakeResponder responder({row.responderChannel}, responderRandom);
        PakeInitiator initiator(text("123456"), {"pad.test:27183"}, text("ADa"), initiatorRandom);
        auto pass = [&](int number, std::optional<Bytes> message) {
            if (message && number == row.alteredMessage)
                message->back() ^= 1;
            return message.value_or(Bytes{});
        };
        const auto share = pass(2, initiator.readHello(pass(1, responder.hello())));
        responder.readShare(share);
        const auto confirmation =
            pass(4, initiator.readReply(pass(3, responder.reply(text(row.responderPassword), text("ADb")))));
        const auto established = responder.readConfirmation(confirmation);
        const auto channel =
            initiator.readConfirmation(pass(5, established ? std::optional(established->confirmation) : std::nullopt));
        EXPECT_EQ(established.has_value(), row.responderEstablished) << row.name;
        EXPECT_EQ(responder.failed(), !row.responderEstablished) << row.name;
        EXPECT_EQ(channel.has_value(), row.initiatorEstablished) << row.name;
        EXPECT_EQ(initiator.failed(), !row.initiatorEstablished) << row.name;
    }
}

TEST(PakeExchange, InvalidOrIdentitySharesAndMalformedMessagesAbort) {
    const Bytes nonce(16, 7);
    for (const auto& invalid : vectors()["draft"]["invalidShares"].GetArray()) {
        const Bytes point = hex(invalid.GetString());
        ScriptedRandomSource random({9});
        PakeResponder responder({}, random);
        EXPECT_TRUE(responder.readShare(cpace::lvCat({nonce, point, {}})));
        EXPECT_FALSE(responder.reply(text("123456"), {})) << invalid.GetString();
        PakeInitiator initiator(text("123456"), {}, {}, random);
        ASSERT_TRUE(initiator.readHello(cpace::lvCat({cpace::bytesOf(cpace::protocolName), nonce})));
        EXPECT_FALSE(initiator.readReply(cpace::lvCat({point, {}}))) << invalid.GetString();
    }

    // Shares and hellos with a field too few, too short or too long, or of another version.
    const Bytes point(32, 1), protocol = text(cpace::protocolName);
    const std::pair<Bytes, Bytes> malformed[] = {
        {cpace::lvCat({nonce, point}), cpace::lvCat({cpace::bytesOf("vemdo-pake-v2"), nonce})},
        {cpace::lvCat({nonce, Bytes(31, 1), {}}), cpace::lvCat({protocol, Bytes(17, 7)})},
        {cpace::lvCat({Bytes(15, 7), point, {}}), cpace::lvCat({protocol})},
    };
    for (const auto& [share, hello] : malformed) {
        ScriptedRandomSource random({9});
        PakeResponder responder({}, random);
        PakeInitiator initiator(text("123456"), {}, {}, random);
        EXPECT_FALSE(responder.readShare(share) || responder.reply(text("123456"), {})) << hexOf(share);
        EXPECT_FALSE(initiator.readHello(hello)) << hexOf(hello);
    }
}

// Frames 0, 1 and 2 sealed in turn, then 3: frame 1 with one byte altered, and 4: frame 0 cut below the
// length of a tag; a row hands the opener some of them and says which open.
TEST(SealedChannel, OnlyTheNextFrameUnalteredOpensAndAFailureIsFinal) {
    const std::tuple<const char*, std::vector<int>, std::vector<bool>> rows[] = {
        {"in order", {0, 1, 2}, {true, true, true}},   {"one byte altered", {0, 3, 1, 2}, {true, false, false, false}},
        {"replayed", {0, 0, 1}, {true, false, false}}, {"skipped", {0, 2, 1}, {true, false, false}},
        {"reordered", {1, 0}, {false, false}},         {"shorter than a tag", {4, 0}, {false, false}},
    };
    const cpace::Key key{42};
    Sealer sealer(key);
    const std::vector<Bytes> plaintexts = {text("first"), {}, text("third")};
    std::vector<Bytes> frames;
    for (const Bytes& plaintext : plaintexts)
        frames.push_back(sealer.seal(plaintext));
    frames.push_back(frames[1]);
    frames.back().front() ^= 0x80;
    frames.emplace_back(frames[0].begin(), frames[0].begin() + 15);
    for (const auto& [name, handed, opens] : rows) {
        Opener opener(key);
        for (std::size_t step = 0; step < handed.size(); ++step) {
            const auto opened = opener.open(frames[handed[step]]);
            EXPECT_EQ(opened.has_value(), opens[step]) << name << " step " << step;
            EXPECT_EQ(opened.value_or(Bytes{}), opened ? plaintexts[handed[step]] : Bytes{}) << name;
        }
        EXPECT_EQ(opener.failed(), !opens.back()) << name;
    }
}

} // namespace
} // namespace vemdo
