// SPDX-License-Identifier: MIT
// The page's session with the computer, against a scripted socket and timer, and the computer's side of the
// exchange built from pake.js's parts.
import assert from "node:assert/strict";
import {test} from "node:test";

import {Opener, Sealer, agree, calculateGenerator, lvCat, lvSplit, protocolName, sampleScalar, scalarMult}
    from "../../resources/web/pake.js";
import {Session, memoryStorage} from "../../resources/web/session.js";

const binding = ["27183", "192.0.2.1:27183"];

// The responder of vemdo-pake-v1 with one password: hello, then answer(share) and confirm().
function computer(password) {
    const [nonce, none, scalar] = [new Uint8Array(16), new Uint8Array(), sampleScalar((n) => Array(n).fill(7))];
    const c = {hello: lvCat(protocolName, nonce)};
    c.answer = (share) => {
        const [theirs, ya, ada] = lvSplit(share);
        const sid = Uint8Array.from([...nonce, ...theirs]);
        const yb = scalarMult(scalar, calculateGenerator(password, lvCat(protocolName, ...binding), sid));
        c.associatedData = lvSplit(ada).map((part) => new TextDecoder().decode(part));
        c.agreement = agree(sid, scalarMult(scalar, ya), ya, ada, yb, none);
        return lvCat(yb, none);
    };
    c.confirm = () => {
        c.sealer = new Sealer(c.agreement.keys.responderToInitiator);
        c.opener = new Opener(c.agreement.keys.initiatorToResponder);
        return lvCat(c.agreement.responderTag);
    };
    return c;
}

function harness(stored = {}) {
    const h = {sockets: [], timers: [], states: [], storage: memoryStorage(stored)};
    const socket = () => ({sent: [], send(bytes) { this.sent.push(bytes); }, close() { this.closed = true; }});
    h.session = new Session({
        openSocket: () => h.sockets[h.sockets.push(socket()) - 1], storage: h.storage,
        randomBytes: (n) => Uint8Array.from({length: n}, (_, i) => i * 17), now: () => 1700000000123.7,
        setTimer: (task, ms) => h.timers.push({task, ms}), clearTimer: () => {}, onState: (s) => h.states.push(s),
        binding,
    });
    h.socket = () => h.sockets.at(-1);
    h.deliver = (bytes) => h.socket().onmessage({data: Uint8Array.from(bytes).buffer});
    h.drop = (code = 1006) => h.socket().onclose({code});
    h.state = () => [h.states.at(-1).name, h.states.at(-1).error];
    // The whole exchange with a computer that knows `password`.
    h.exchange = (password, c = computer(password)) => {
        h.deliver(c.hello);
        h.deliver(c.answer(h.socket().sent[0]));
        h.deliver(c.confirm());
        return c;
    };
    return h;
}

test("pairs over the code, gets its secret sealed and sends sealed input", () => {
    const h = harness({"vemdo.token": "old"});
    h.session.start("123456");
    const c = h.exchange("123456");
    assert.deepEqual([c.associatedData, h.state(), h.storage.getItem("vemdo.token")],
                     [["pair", h.storage.getItem("vemdo.deviceID")], ["pairing", undefined], null]);
    h.deliver(c.sealer.seal(JSON.stringify({kind: "pairResponse", success: true, token: "ab"})));
    h.session.sendInput({kind: "move", dx: 1, dy: 2});
    const sealed = JSON.parse(new TextDecoder().decode(c.opener.open(h.socket().sent[2])));
    assert.deepEqual([h.state(), h.storage.getItem("vemdo.secret"), sealed],
                     [["ready", undefined], "ab", {kind: "move", dx: 1, dy: 2, timestamp: 1700000000123}]);
    // A frame that does not open ends the connection.
    h.deliver(new Uint8Array(20));
    assert.equal(h.socket().closed, true);
});

test("a refusal before the channel exists is shown, or sends the page back to pairing", () => {
    const secret = {"vemdo.deviceID": "DEVICE", "vemdo.secret": "s"};
    // stored, code, close code, state, error, secret kept, sockets opened
    const rows = [
        [{}, "123456", 4001, "needsCode", "wrongCode", false, 1],
        [{}, "123456", 4002, "needsCode", "tooManyAttempts", false, 1],
        [{}, "123456", 4003, "needsCode", "codeSpent", false, 1],
        [{}, "123456", 4005, "needsCode", "storeUnavailable", false, 1],
        [secret, null, 4004, "needsCode", "tokenRefused", false, 1],
        [secret, "123456", 4004, "connecting", undefined, false, 2],
        [secret, null, 4005, "waiting", undefined, true, 1],
    ];
    for (const [stored, code, closeCode, name, error, kept, opened] of rows) {
        const h = harness(stored);
        h.session.start(code);
        h.deliver(computer("x").hello);
        h.drop(closeCode);
        assert.deepEqual([...h.state(), h.storage.getItem("vemdo.secret") !== null, h.sockets.length],
                         [name, error, kept, opened], `${closeCode} ${code}`);
    }
});

test("a dropped connection is retried with growing delays; the secret makes a channel that resets them", () => {
    const h = harness({"vemdo.deviceID": "DEVICE", "vemdo.secret": "s"});
    h.session.start(null);
    for (const ms of [500, 1000, 2000, 4000, 8000, 8000]) {
        h.drop();
        assert.deepEqual([h.state()[0], h.timers.at(-1).ms], ["waiting", ms]);
        h.timers.at(-1).task();
    }
    assert.deepEqual(h.exchange("s").associatedData, ["secret", "DEVICE"]);
    h.drop();
    assert.deepEqual([h.timers.at(-1).ms, h.sockets.length], [500, 7]);
});
