// SPDX-License-Identifier: MIT
// The connection to the computer without the DOM: pairing by the password exchange over the code (pake.js),
// returning with the secret the computer gave at pairing, sealed input, and reconnecting with back-off when
// the network drops. Inside the sealed channel the messages are those of the native app.
import {PakeInitiator, lvCat} from "./pake.js";

const deviceKey = "vemdo.deviceID";
const secretKey = "vemdo.secret";
// What the page kept before the exchange: it authenticates nothing any more.
const oldTokenKey = "vemdo.token";
const retryDelaysMs = [500, 1000, 2000, 4000, 8000];
// How the computer refuses before the channel exists: WebSocket close codes.
const refusals = {4001: "wrongCode", 4002: "tooManyAttempts", 4003: "codeSpent", 4004: "tokenRefused",
                  4005: "storeUnavailable"};
const decoder = new TextDecoder();

// A version 4 UUID from 16 random bytes (crypto.randomUUID needs a secure context, which a LAN page
// is not).
export function uuidFromBytes(bytes) {
    const b = Array.from(bytes);
    b[6] = (b[6] & 0x0f) | 0x40;
    b[8] = (b[8] & 0x3f) | 0x80;
    const hex = b.map((x) => x.toString(16).padStart(2, "0")).join("").toUpperCase();
    return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
}

// Storage kept in memory (initial: an object of items), as localStorage is when private browsing refuses it:
// the page then works until it is closed.
export function memoryStorage(initial = {}) {
    const values = new Map(Object.entries(initial));
    return {
        getItem: (key) => (values.has(key) ? values.get(key) : null),
        setItem: (key, value) => values.set(key, String(value)),
        removeItem: (key) => values.delete(key),
    };
}

// States handed to onState: {name: "connecting" | "authenticating" | "pairing" | "needsCode" | "ready" |
// "waiting", error?: "wrongCode" | "tooManyAttempts" | "codeSpent" | "tokenRefused" | "storeUnavailable",
// seconds?}.
export class Session {
    // openSocket(): a WebSocket-like object; storage: getItem/setItem/removeItem; randomBytes(n);
    // now(): milliseconds since 1970; setTimer(fn, ms) / clearTimer(handle); binding: what the exchange binds,
    // the page's port and location.host.
    constructor({openSocket, storage, randomBytes, now, setTimer, clearTimer, onState, binding}) {
        Object.assign(this, {openSocket, storage, randomBytes, now, setTimer, clearTimer, onState, binding});
        this.socket = null;
        this.timer = null;
        this.failures = 0;
        this.pendingCode = null;
        this.state = {name: "connecting"};
    }

    deviceID() {
        let id = this.storage.getItem(deviceKey);
        if (!id) {
            id = uuidFromBytes(this.randomBytes(16));
            this.storage.setItem(deviceKey, id);
        }
        return id;
    }

    paired() {
        return this.storage.getItem(secretKey) !== null;
    }

    // code: a code from the address, or null.
    start(code) {
        this.storage.removeItem(oldTokenKey);
        this.pendingCode = code;
        this.connect();
    }

    pair(code) {
        this.pendingCode = code;
        if (this.hello && !this.exchange)
            this.begin();
        else if (!this.socket)
            this.retryNow();
    }

    // The network is back, or the page is in view again: no need to wait out the back-off.
    retryNow() {
        if (this.socket)
            return;
        this.clearTimer(this.timer);
        this.timer = null;
        this.connect();
    }

    // Input goes out only once the computer has confirmed the exchange.
    sendInput(message) {
        if (this.state.name !== "ready")
            return false;
        this.socket.send(this.sealed.outgoing.seal(JSON.stringify({...message, timestamp: Math.floor(this.now())})));
        return true;
    }

    connect() {
        this.setState({name: "connecting"});
        const socket = this.openSocket();
        socket.binaryType = "arraybuffer";
        Object.assign(this, {socket, hello: null, exchange: null, sealed: null});
        socket.onmessage = (event) => {
            if (this.socket === socket && typeof event.data !== "string")
                this.received(new Uint8Array(event.data));
        };
        socket.onclose = (event) => {
            if (this.socket === socket)
                this.closed(event.code);
        };
    }

    // The computer's hello, then a share with the stored secret or with a code; without either the hello waits
    // for a code.
    begin() {
        const secret = this.storage.getItem(secretKey);
        const mode = secret ? "secret" : this.pendingCode ? "pair" : null;
        if (!mode) {
            this.setState({name: "needsCode"});
            return;
        }
        this.setState({name: mode === "secret" ? "authenticating" : "pairing"});
        this.mode = mode;
        this.exchange = new PakeInitiator({
            password: secret ?? this.pendingCode, channel: this.binding,
            associatedData: lvCat(mode, this.deviceID()), randomBytes: this.randomBytes,
        });
        this.reply(this.exchange.readHello(this.hello));
    }

    received(bytes) {
        if (this.sealed) {
            this.opened(this.sealed.incoming.open(bytes));
        } else if (!this.hello) {
            this.hello = bytes;
            this.begin();
        } else if (this.exchange?.step === "reply") {
            this.reply(this.exchange.readReply(bytes));
        } else if (this.exchange?.step === "confirmation") {
            this.sealed = this.exchange.readConfirmation(bytes);
            if (!this.sealed)
                this.socket.close();
            else if (this.mode === "secret")
                this.ready();
        }
    }

    reply(message) {
        if (message)
            this.socket.send(message);
        else
            this.socket.close();
    }

    // A sealed message; after pairing, the first one carries the secret as the token of a pairResponse.
    opened(plaintext) {
        if (!plaintext) {
            this.socket.close();
            return;
        }
        let message;
        try {
            message = JSON.parse(decoder.decode(plaintext));
        } catch {
            return;
        }
        if (message.kind === "pairResponse" && message.success && typeof message.token === "string") {
            this.storage.setItem(secretKey, message.token);
            this.ready();
        }
    }

    ready() {
        this.failures = 0;
        this.pendingCode = null;
        this.setState({name: "ready"});
    }

    closed(code) {
        this.socket = null;
        const refusal = refusals[code];
        // A secret the computer no longer knows sends the page back to pairing.
        if (refusal === "tokenRefused")
            this.storage.removeItem(secretKey);
        if (refusal === "tokenRefused" && this.pendingCode) {
            this.connect();
        } else if (refusal && (refusal !== "storeUnavailable" || this.mode === "pair")) {
            this.pendingCode = null;
            this.setState({name: "needsCode", error: refusal});
        } else {
            const delay = retryDelaysMs[Math.min(this.failures, retryDelaysMs.length - 1)];
            this.failures += 1;
            this.setState({name: "waiting", seconds: Math.ceil(delay / 1000)});
            this.timer = this.setTimer(() => {
                this.timer = null;
                this.connect();
            }, delay);
        }
    }

    setState(state) {
        this.state = state;
        this.onState(state);
    }
}
