// SPDX-License-Identifier: MIT
// The page's exchange against the draft's vectors and, byte for byte, against an exchange recorded from the
// computer's side (tests/security/pake_test.cpp checks that side against the same file).
import assert from "node:assert/strict";
import {readFileSync} from "node:fs";
import {test} from "node:test";

import * as source from "../../resources/web/noble.js";
import {
    Opener, PakeInitiator, Sealer, agree, calculateGenerator, generatorString, lvCat, lvSplit, scalarMult,
} from "../../resources/web/pake.js";

const vectors = JSON.parse(readFileSync(new URL("../security/pake_vectors.json", import.meta.url)));
const hex = (text) => Uint8Array.from(text.match(/../g) ?? [], (pair) => parseInt(pair, 16));
const hexOf = (bytes) => Buffer.from(bytes).toString("hex");

test("draft vectors", () => {
    const d = vectors.draft;
    const [prs, ci, sid] = [hex(d.PRS), hex(d.CI), hex(d.sid)];
    assert.equal(hexOf(generatorString(prs, ci, sid)), d.generatorString);
    const g = calculateGenerator(prs, ci, sid);
    assert.equal(hexOf(g), d.g);
    const [shareA, shareB] = [scalarMult(hex(d.ya), g), scalarMult(hex(d.yb), g)];
    assert.equal(hexOf(shareA), d.Ya);
    assert.equal(hexOf(shareB), d.Yb);
    assert.equal(hexOf(scalarMult(hex(d.ya), shareB)), d.K);
    assert.equal(hexOf(scalarMult(hex(d.yb), shareA)), d.K);
    assert.equal(hexOf(agree(sid, hex(d.K), shareA, hex(d.ADa), shareB, hex(d.ADb)).isk), d.ISK);
    for (const invalid of d.invalidShares)
        assert.equal(scalarMult(hex(d.ya), hex(invalid)), null, invalid);
});

test("length-value encoding", () => {
    assert.equal(hexOf(lvCat("1234", "5", "", "678")), "043132333401350003363738");
    assert.deepEqual(lvSplit(hex("043132333401350003363738")).map(hexOf), ["31323334", "35", "", "363738"]);
    const long = lvCat(new Uint8Array(128));
    assert.equal(hexOf(long.subarray(0, 2)), "8001");
    assert.equal(lvSplit(long)[0].length, 128);
    for (const malformed of ["05313233", "8000", "80", "80808001"])
        assert.equal(lvSplit(hex(malformed)), null, malformed);
});

const recorded = vectors.exchange;

function recordedInitiator(password = hex(recorded.password)) {
    const random = hex(recorded.initiatorRandom);
    let drawn = 0;
    return new PakeInitiator({
        password, channel: recorded.channel, associatedData: hex(recorded.initiatorData),
        randomBytes: (n) => random.subarray(drawn, (drawn += n)),
    });
}

test("replays the exchange recorded from the computer's side byte for byte", () => {
    const initiator = recordedInitiator();
    assert.equal(hexOf(initiator.readHello(hex(recorded.hello))), recorded.share);
    assert.equal(hexOf(initiator.readReply(hex(recorded.reply))), recorded.initiatorConfirmation);
    assert.equal(hexOf(initiator.peerAssociatedData), recorded.responderData);
    const channel = initiator.readConfirmation(hex(recorded.responderConfirmation));
    for (const {plaintext, frame} of recorded.initiatorFrames)
        assert.equal(hexOf(channel.outgoing.seal(hex(plaintext))), frame);
    for (const {plaintext, frame} of recorded.responderFrames)
        assert.equal(hexOf(channel.incoming.open(hex(frame))), plaintext);
});

test("a wrong password, an altered or invalid message, or a step out of turn fails for good", () => {
    const [hello, reply, tag] = [hex(recorded.hello), hex(recorded.reply), hex(recorded.responderConfirmation)];
    const flippedTag = Uint8Array.from(tag, (byte, i) => (i === tag.length - 1 ? byte ^ 1 : byte));
    // fails: the step that returns null; "confirmation" means a tag the computer would refuse.
    const rows = [
        {name: "wrong password", password: "654321", messages: [hello, reply], fails: "confirmation"},
        {name: "responder's tag altered", messages: [hello, reply], tag: flippedTag},
        {name: "other version", messages: [lvCat("vemdo-pake-v2", hello.subarray(15))], fails: "hello"},
        ...vectors.draft.invalidShares.map((point) => ({
            name: `invalid point ${point.slice(0, 8)}`, messages: [hello, lvCat(hex(point), "")], fails: "reply",
        })),
        {name: "reply before hello", messages: [reply], fails: "hello"},
    ];
    for (const {name, password, messages, tag: responderTag = tag, fails} of rows) {
        const initiator = recordedInitiator(password);
        const share = initiator.readHello(messages[0]);
        const confirmation = messages[1] && initiator.readReply(messages[1]);
        assert.equal(share === null, fails === "hello", name);
        assert.equal(confirmation === null, fails === "reply", name);
        if (fails === "confirmation")
            assert.notEqual(hexOf(confirmation), recorded.initiatorConfirmation, name);
        assert.equal(initiator.readConfirmation(responderTag), null, name);
        assert.ok(initiator.failed, name);
    }
});

// Frames 0, 1 and 2 sealed in turn; a row hands the opener some of them ("altered": frame 1 with one byte
// changed, "short": frame 0 cut below the length of a tag) and says which open.
test("only the next frame unaltered opens, and a failure is final", () => {
    const key = new Uint8Array(32).fill(42);
    const sealer = new Sealer(key);
    const plaintexts = ["first", "", "third"];
    const frames = plaintexts.map((text) => sealer.seal(text));
    const altered = Uint8Array.from(frames[1], (byte, i) => (i === 0 ? byte ^ 0x80 : byte));
    const handed = {altered, short: frames[0].subarray(0, 15)};
    const rows = [
        ["in order", [0, 1, 2], [true, true, true]],
        ["one byte altered", [0, "altered", 1, 2], [true, false, false, false]],
        ["replayed", [0, 0, 1], [true, false, false]],
        ["skipped", [0, 2, 1], [true, false, false]],
        ["reordered", [1, 0], [false, false]],
        ["shorter than a tag", ["short", 0], [false, false]],
    ];
    for (const [name, order, opens] of rows) {
        const opener = new Opener(key);
        const opened = order.map((index) => opener.open(handed[index] ?? frames[index]));
        assert.deepEqual(opened.map((plaintext) => plaintext !== null), opens, name);
        opened.forEach((plaintext, step) => plaintext && assert.equal(Buffer.from(plaintext).toString(), plaintexts[order[step]]));
        assert.equal(opener.failed, !opens.at(-1), name);
    }
});

// The file browsers get instead of noble.js, built by CMake, which names it here: same exports, same results.
test("the bundle served to browsers computes what noble.js does", {skip: !process.env.VEMDO_NOBLE_BUNDLE}, async () => {
    const bundle = await import(process.env.VEMDO_NOBLE_BUNDLE);
    assert.deepEqual(Object.keys(bundle).sort(), Object.keys(source).sort());
    const d = vectors.draft;
    const results = [bundle, source].map((lib) => [
        lib.ristretto255_hasher.deriveToCurve(lib.sha512(hex(d.generatorString))).toBytes(),
        lib.ristretto255.Point.fromBytes(hex(d.g)).multiply(lib.bytesToNumberLE(hex(d.ya))).toBytes(),
        lib.hkdf(lib.sha512, hex(d.K), undefined, hex(d.sid), 32),
        lib.hmac(lib.sha512, hex(d.K), hex(d.sid)),
        lib.chacha20poly1305(hex(d.K), new Uint8Array(12)).encrypt(hex(d.sid)),
    ].map(hexOf));
    assert.deepEqual(results[0], results[1]);
    assert.deepEqual(results[0].slice(0, 2), [d.g, d.Ya]);
});
