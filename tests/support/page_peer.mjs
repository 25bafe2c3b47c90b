// SPDX-License-Identifier: MIT
// The page's protocol modules (session.js with pake.js) in Node, for the Python tests, which carry its
// WebSocket. Arguments: PORT HOST (what the page binds) DEVICE [SECRET]. Each line on standard input is a
// command and its argument: start CODE ("-": none), message HEX (a binary message from the computer), input
// JSON. What the page does in answer is printed a line each (send HEX, state NAME [ERROR]), then
// "secret" and its secret ("-": none), then "done". The page's own reconnecting is left to the test.
import {createInterface} from "node:readline";

import {Session, memoryStorage} from "../../resources/web/session.js";

const [port, host, device, secret] = process.argv.slice(2);
const storage = memoryStorage({"vemdo.deviceID": device, ...(secret ? {"vemdo.secret": secret} : {})});
const socket = {send: (bytes) => console.log(`send ${Buffer.from(bytes).toString("hex")}`), close: () => {}};
const session = new Session({
    openSocket: () => socket, storage, randomBytes: (n) => crypto.getRandomValues(new Uint8Array(n)),
    now: () => Date.now(), setTimer: () => {}, clearTimer: () => {},
    onState: (state) => console.log(`state ${state.name} ${state.error ?? ""}`.trim()), binding: [port, host],
});
const commands = {
    start: (code) => session.start(code === "-" ? null : code),
    message: (hex) => socket.onmessage({data: Uint8Array.from(Buffer.from(hex, "hex")).buffer}),
    input: (json) => session.sendInput(JSON.parse(json)),
};
for await (const line of createInterface({input: process.stdin})) {
    commands[line.slice(0, line.indexOf(" "))](line.slice(line.indexOf(" ") + 1));
    console.log(`secret ${storage.getItem("vemdo.secret") ?? "-"}\ndone`);
}
