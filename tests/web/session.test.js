// SPDX-License-Identifier: MIT
// The page's session with the computer, against a scripted socket, storage and timer.
import assert from "node:assert/strict";
import {test} from "node:test";

import {Session} from "../../resources/web/session.js";

function harness(stored = {}) {
    const values = new Map(Object.entries(stored));
    const h = {
        sockets: [],
        timers: [],
        states: [],
        storage: {
            getItem: (k) => (values.has(k) ? values.get(k) : null),
            setItem: (k, v) => values.set(k, v),
            removeItem: (k) => values.delete(k),
        },
        values,
    };
    h.session = new Session({
        openSocket: () => {
            const socket = {readyState: 0, sent: [], send(text) { this.sent.push(JSON.parse(text)); }};
            h.sockets.push(socket);
            return socket;
        },
        storage: h.storage,
        randomBytes: (n) => Uint8Array.from({length: n}, (_, i) => i * 17),
        now: () => 1700000000123.7,
        setTimer: (task, ms) => h.timers.push({task, ms}),
        clearTimer: () => {},
        onState: (state) => h.states.push(state),
    });
    h.socket = () => h.sockets.at(-1);
    h.open = () => {
        h.socket().readyState = 1;
        h.socket().onopen();
    };
    h.reply = (message) => h.socket().onmessage({data: JSON.stringify(message)});
    h.drop = () => {
        h.socket().readyState = 3;
        h.socket().onclose();
    };
    return h;
}

test("pairing refusals say why", () => {
    for (const [message, error] of [["Çok fazla deneme. Lütfen bekleyin.", "tooManyAttempts"],
                                    ["Invalid pairing code", "wrongCode"]]) {
        const h = harness();
        h.session.start("123456");
        h.open();
        h.reply({kind: "pairResponse", success: false, message});
        assert.deepEqual(h.states.at(-1), {name: "needsCode", error});
        assert.equal(h.values.get("vemdo.token"), undefined);
    }
});

test("a stored token authenticates by itself; a refused one is forgotten", () => {
    const stored = {"vemdo.deviceID": "DEVICE", "vemdo.token": "old"};
    const h = harness(stored);
    h.session.start(null);
    h.open();
    assert.deepEqual(h.socket().sent, [{kind: "auth", deviceID: "DEVICE", token: "old", timestamp: 1700000000123}]);
    h.reply({kind: "auth", success: false, message: "Geçersiz token"});
    assert.deepEqual(h.states.at(-1), {name: "needsCode", error: "tokenRefused"});
    assert.equal(h.values.has("vemdo.token"), false);

    // With a freshly scanned code at hand, a refused token leads straight to pairing.
    const scanned = harness(stored);
    scanned.session.start("654321");
    scanned.open();
    scanned.reply({kind: "auth", success: false});
    assert.equal(scanned.socket().sent.at(-1).kind, "pairRequest");
});

test("a dropped connection is retried with growing delays, reset once authenticated", () => {
    const h = harness({"vemdo.deviceID": "DEVICE", "vemdo.token": "t"});
    h.session.start(null);
    const delays = [];
    for (let i = 0; i < 6; ++i) {
        h.drop();
        assert.equal(h.states.at(-1).name, "waiting");
        delays.push(h.timers.at(-1).ms);
        h.timers.at(-1).task();
    }
    assert.deepEqual(delays, [500, 1000, 2000, 4000, 8000, 8000]);
    h.open();
    h.reply({kind: "auth", success: true});
    h.drop();
    assert.equal(h.timers.at(-1).ms, 500);
    assert.equal(h.sockets.length, 7);
});
