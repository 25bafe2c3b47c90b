// SPDX-License-Identifier: MIT
// The page's protocol modules (session.js with pake.js) in Node, for the Python tests, which carry its
// WebSocket. Arguments: PORT HOST (what the page binds) DEVICE [SECRET]. Each line on standard input is a
// command and its argument: start CODE ("-": none), message HEX (a binary message from the computer), closed
// CODE (the computer's close code), input JSON. What the page does in answer is printed a line each (send
// HEX, close, state NAME [ERROR], secret HEX, retry), then "done".
import {createInterface} from "node:readline";

import {Session} from "../../resources/web/session.js";

const [port, host, device, secret] = process.argv.slice(2);
const values = new Map([["vemdo.deviceID", device], ...(secret ? [["vemdo.secret", secret]] : [])]);
const socket = {send: (bytes) => console.log(`send ${Buffer.from(bytes).toString("hex")}`),
                close: () => console.log("close")};
const session = new Session({
    openSocket: () => socket,
    storage: {
        getItem: (k) => (values.has(k) ? values.get(k) : null),
        setItem: (k, v) => values.set(k, v) && k === "vemdo.secret" && console.log(`secret ${v}`),
        removeItem: (k) => values.delete(k),
    },
    randomBytes: (n) => crypto.getRandomValues(new Uint8Array(n)),
    now: () => Date.now(),
    setTimer: () => console.log("retry"),
    clearTimer: () => {},
    onState: (state) => console.log(`state ${state.name} ${state.error ?? ""}`.trim()),
    binding: [port, host],
});
const commands = {
    start: (code) => session.start(code === "-" ? null : code),
    message: (hex) => socket.onmessage({data: Uint8Array.from(Buffer.from(hex, "hex")).buffer}),
    closed: (code) => socket.onclose({code: Number(code)}),
    input: (json) => session.sendInput(JSON.parse(json)),
};
for await (const line of createInterface({input: process.stdin})) {
    const space = line.indexOf(" ");
    commands[line.slice(0, space)](line.slice(space + 1));
    console.log("done");
}
