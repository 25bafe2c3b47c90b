// SPDX-License-Identifier: MIT
// The connection to the computer without the DOM: pairing, authentication with the stored token, input,
// and reconnecting with back-off when the network drops. The messages are those of the native app.

const deviceKey = "vemdo.deviceID";
const tokenKey = "vemdo.token";
// The server's fixed reply when a device has tried too many codes.
const tooManyAttempts = "Çok fazla deneme. Lütfen bekleyin.";
const retryDelaysMs = [500, 1000, 2000, 4000, 8000];

// A version 4 UUID from 16 random bytes (crypto.randomUUID needs a secure context, which a LAN page
// is not).
export function uuidFromBytes(bytes) {
    const b = Array.from(bytes);
    b[6] = (b[6] & 0x0f) | 0x40;
    b[8] = (b[8] & 0x3f) | 0x80;
    const hex = b.map((x) => x.toString(16).padStart(2, "0")).join("").toUpperCase();
    return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
}

// States handed to onState: {name: "connecting" | "authenticating" | "pairing" | "needsCode" | "ready" |
// "waiting", error?: "wrongCode" | "tooManyAttempts" | "tokenRefused", seconds?}.
export class Session {
    // openSocket(): a WebSocket-like object; storage: getItem/setItem/removeItem; randomBytes(n);
    // now(): milliseconds since 1970; setTimer(fn, ms) / clearTimer(handle).
    constructor({openSocket, storage, randomBytes, now, setTimer, clearTimer, onState}) {
        Object.assign(this, {openSocket, storage, randomBytes, now, setTimer, clearTimer, onState});
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

    // code: a code from the address, or null.
    start(code) {
        this.pendingCode = code;
        this.connect();
    }

    pair(code) {
        this.pendingCode = code;
        if (this.socket && this.socket.readyState === 1) {
            this.sendPairRequest();
        } else {
            this.retryNow();
        }
    }

    // The network is back, or the page is in view again: no need to wait out the back-off.
    retryNow() {
        if (this.socket)
            return;
        this.clearTimer(this.timer);
        this.timer = null;
        this.connect();
    }

    // Input goes out only once the computer has accepted the token.
    sendInput(message) {
        if (this.state.name !== "ready")
            return false;
        this.send(message);
        return true;
    }

    connect() {
        this.setState({name: "connecting"});
        const socket = this.openSocket();
        this.socket = socket;
        socket.onopen = () => this.opened();
        socket.onmessage = (event) => this.received(event.data);
        socket.onclose = () => {
            if (this.socket === socket)
                this.closed();
        };
    }

    opened() {
        if (this.storage.getItem(tokenKey)) {
            this.setState({name: "authenticating"});
            this.send({kind: "auth", deviceID: this.deviceID(), token: this.storage.getItem(tokenKey)});
        } else if (this.pendingCode) {
            this.sendPairRequest();
        } else {
            this.setState({name: "needsCode"});
        }
    }

    sendPairRequest() {
        this.setState({name: "pairing"});
        this.send({kind: "pairRequest", deviceID: this.deviceID(), pairingCode: this.pendingCode});
    }

    received(data) {
        let message;
        try {
            message = JSON.parse(data);
        } catch {
            return;
        }
        if (message.kind === "pairResponse") {
            this.pendingCode = null;
            if (message.success && typeof message.token === "string") {
                this.storage.setItem(tokenKey, message.token);
                this.setState({name: "authenticating"});
                this.send({kind: "auth", deviceID: this.deviceID(), token: message.token});
            } else {
                const error = message.message === tooManyAttempts ? "tooManyAttempts" : "wrongCode";
                this.setState({name: "needsCode", error});
            }
        } else if (message.kind === "auth") {
            if (message.success) {
                this.failures = 0;
                this.pendingCode = null;
                this.setState({name: "ready"});
            } else {
                // The computer forgot this browser (or its store was reset): pair again.
                this.storage.removeItem(tokenKey);
                if (this.pendingCode)
                    this.sendPairRequest();
                else
                    this.setState({name: "needsCode", error: "tokenRefused"});
            }
        }
    }

    closed() {
        this.socket = null;
        const delay = retryDelaysMs[Math.min(this.failures, retryDelaysMs.length - 1)];
        this.failures += 1;
        this.setState({name: "waiting", seconds: Math.ceil(delay / 1000)});
        this.timer = this.setTimer(() => {
            this.timer = null;
            this.connect();
        }, delay);
    }

    send(message) {
        if (this.socket && this.socket.readyState === 1)
            this.socket.send(JSON.stringify({...message, timestamp: Math.floor(this.now())}));
    }

    setState(state) {
        this.state = state;
        this.onState(state);
    }
}
