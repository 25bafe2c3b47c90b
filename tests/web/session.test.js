// SPDX-License-Identifier: MIT
// The page's session with the computer, against a scripted socket, storage and timer, and the computer's side
// of the exchange built from pake.js's parts.
import assert from "node:assert/strict";
import {test} from "node:test";

import {Opener, Sealer, agree, calculateGenerator, lvCat, lvSplit, protocolName, sampleScalar, scalarMult}
    from "../../resources/web/pake.js";
import {Session} from "../../resources/web/session.js";

const binding = ["27183", "192.0.2.1:27183"];
const text = (bytes) => new TextDecoder().decode(bytes);

// The responder of vemdo-pake-v1 with one password.
function computer(password) {
    const nonce = new Uint8Array(16).fill(5);
    const scalar = sampleScalar((n) => new Uint8Array(n).fill(7));
    const c = {hello: lvCat(protocolName, nonce)};
    c.answer = (share) => {
        const [initiatorNonce, ya, ada] = lvSplit(share);
        c.associatedData = lvSplit(ada).map(text);
        const sid = Uint8Array.from([...nonce, ...initiatorNonce]);
        const yb = scalarMult(scalar, calculateGenerator(new TextEncoder().encode(password), lvCat(protocolName, ...binding), sid));
        c.agreement = agree(sid, scalarMult(scalar, ya), ya, ada, yb, new Uint8Array());
        return lvCat(yb, new Uint8Array());
    };
    c.confirm = (tag) => {
        assert.deepEqual(lvSplit(tag)[0], c.agreement.initiatorTag);
        c.sealer = new Sealer(c.agreement.keys.responderToInitiator);
        c.opener = new Opener(c.agreement.keys.initiatorToResponder);
        return lvCat(c.agreement.responderTag);
    };
    return c;
}

function harness(stored = {}) {
    const values = new Map(Object.entries(stored));
    const h = {sockets: [], timers: [], states: [], values};
    h.session = new Session({
        openSocket: () => {
            const socket = {sent: [], send(bytes) { this.sent.push(bytes); }, close() { this.closedByPage = true; }};
            h.sockets.push(socket);
            return socket;
        },
        storage: {
            getItem: (k) => (values.has(k) ? values.get(k) : null),
            setItem: (k, v) => values.set(k, v),
            removeItem: (k) => values.delete(k),
        },
        randomBytes: (n) => Uint8Array.from({length: n}, (_, i) => i * 17),
        now: () => 1700000000123.7,
        setTimer: (task, ms) => h.timers.push({task, ms}),
        clearTimer: () => {},
        onState: (state) => h.states.push(state),
        binding,
    });
    h.socket = () => h.sockets.at(-1);
    h.deliver = (bytes) => h.socket().onmessage({data: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length)});
    h.drop = (code = 1006) => h.socket().onclose({code});
    // The whole exchange with a computer that knows `password`; returns it.
    h.exchange = (password) => {
        const c = computer(password);
        h.deliver(c.hello);
        h.deliver(c.answer(h.socket().sent[0]));
        h.deliver(c.confirm(h.socket().sent[1]));
        return c;
    };
    return h;
}

test("pairs over the code, gets its secret sealed, sends sealed input and returns with the secret", () => {
    const h = harness({"vemdo.token": "old"});
    h.session.start("123456");
    assert.equal(h.values.has("vemdo.token"), false);
    const c = h.exchange("123456");
    assert.deepEqual(c.associatedData, ["pair", h.values.get("vemdo.deviceID")]);
    assert.equal(h.states.at(-1).name, "pairing");
    const secret = "ab".repeat(32);
    h.deliver(c.sealer.seal(JSON.stringify({kind: "pairResponse", success: true, token: secret})));
    assert.deepEqual([h.states.at(-1).name, h.values.get("vemdo.secret")], ["ready", secret]);
    assert.equal(h.session.sendInput({kind: "move", dx: 1, dy: 2}), true);
    assert.deepEqual(JSON.parse(text(c.opener.open(h.socket().sent[2]))),
                     {kind: "move", dx: 1, dy: 2, timestamp: 1700000000123});

    h.drop();
    h.timers.at(-1).task();
    const again = h.exchange(secret);
    assert.deepEqual(again.associatedData, ["secret", h.values.get("vemdo.deviceID")]);
    assert.equal(h.states.at(-1).name, "ready");
    // A frame that does not open ends the connection.
    h.deliver(c.sealer.seal("{}"));
    assert.equal(h.socket().closedByPage, true);
});

test("a refusal before the channel exists is shown, or sends the page back to pairing", () => {
    const secret = {"vemdo.deviceID": "DEVICE", "vemdo.secret": "s"};
    // stored, code, close code, state, error, secret kept, sockets opened
    const rows = [
        [{}, "123456", 4001, "needsCode", "wrongCode", false, 1],
        [{}, "123456", 4002, "needsCode", "tooManyAttempts", false, 1],
        [{}, "123456", 4003, "needsCode", "tooManyAttempts", false, 1],
        [{}, "123456", 4005, "needsCode", "storeUnavailable", false, 1],
        [secret, null, 4004, "needsCode", "tokenRefused", false, 1],
        [secret, "123456", 4004, "connecting", undefined, false, 2],
        [secret, null, 4005, "waiting", undefined, true, 1],
        [secret, null, 1006, "waiting", undefined, true, 1],
    ];
    for (const [stored, code, closeCode, name, error, kept, opened] of rows) {
        const h = harness(stored);
        h.session.start(code);
        h.deliver(computer("x").hello);
        h.drop(closeCode);
        assert.deepEqual([h.states.at(-1).name, h.states.at(-1).error, h.values.has("vemdo.secret"), h.sockets.length],
                         [name, error, kept, opened], `${closeCode} ${code}`);
    }
});

test("a dropped connection is retried with growing delays, reset once the channel stands", () => {
    const h = harness({"vemdo.deviceID": "DEVICE", "vemdo.secret": "s"});
    h.session.start(null);
    const delays = [];
    for (let i = 0; i < 6; ++i) {
        h.drop();
        assert.equal(h.states.at(-1).name, "waiting");
        delays.push(h.timers.at(-1).ms);
        h.timers.at(-1).task();
    }
    assert.deepEqual(delays, [500, 1000, 2000, 4000, 8000, 8000]);
    h.exchange("s");
    h.drop();
    assert.equal(h.timers.at(-1).ms, 500);
    assert.equal(h.sockets.length, 7);
});
