// SPDX-License-Identifier: MIT
// Wires the page to its parts: texts, the session with the computer, the trackpad surface, the buttons
// and the keyboard.

import {GestureTracker, LEFT, RIGHT} from "./gestures.js";
import {attachKeyboard, keyPress, keys, shortcut} from "./keyboard.js";
import {Session, memoryStorage} from "./session.js";
import {pickTexts} from "./strings.js";

const $ = (id) => document.getElementById(id);

const {language, texts} = pickTexts(navigator.languages?.length ? navigator.languages : [navigator.language ?? "en"]);
document.documentElement.lang = language;
document.title = texts.pageTitle;
for (const element of document.querySelectorAll("[data-text]"))
    element.textContent = texts[element.dataset.text];
$("typing").placeholder = texts.typeHere;

// The code from a scanned QR code; taken out of the address at once, so it is neither bookmarked nor
// left in the history.
function codeFromAddress() {
    const match = /^#code=(\d{6})$/.exec(location.hash);
    if (location.hash)
        history.replaceState(null, "", location.pathname + location.search);
    return match ? match[1] : null;
}

// Private browsing may refuse storage.
function openStorage() {
    try {
        localStorage.setItem("vemdo.probe", "1");
        localStorage.removeItem("vemdo.probe");
        return localStorage;
    } catch {
        return memoryStorage();
    }
}

const storage = openStorage();

function render(state) {
    document.body.dataset.state = state.name;
    $("status-text").textContent = texts[state.name].replace("{seconds}", String(state.seconds ?? ""));
    // A paired browser shows the trackpad while it (re)connects; one not paired asks for a code.
    const paired = session.paired();
    const asking = state.name === "needsCode" || state.name === "pairing" || (!paired && state.name !== "ready");
    document.body.classList.toggle("show-pair", asking);
    document.body.classList.toggle("show-pad", !asking);
    $("pair-error").textContent = state.error ? texts[state.error] : "";
    if (state.name === "needsCode")
        $("code").value = "";
}

const session = new Session({
    openSocket: () => new WebSocket(`ws://${location.host}/ws`),
    storage,
    randomBytes: (count) => crypto.getRandomValues(new Uint8Array(count)),
    now: () => Date.now(),
    setTimer: (task, ms) => setTimeout(task, ms),
    clearTimer: (handle) => clearTimeout(handle),
    onState: render,
    binding: [location.port || "80", location.host],
});

const sendAll = (messages) => {
    for (const message of messages)
        session.sendInput(message);
};

// The surface: touches to gestures, gestures to messages once per animation frame.
const tracker = new GestureTracker();
let frameRequested = false;

function onFrame(time) {
    frameRequested = false;
    sendAll(tracker.frame(time));
    if (tracker.needsFrame())
        requestFrame();
}

function requestFrame() {
    if (!frameRequested) {
        frameRequested = true;
        requestAnimationFrame(onFrame);
    }
}

const points = (touches) => Array.from(touches, (t) => ({id: t.identifier, x: t.clientX, y: t.clientY}));
const ids = (touches) => Array.from(touches, (t) => t.identifier);
const surface = $("surface");
const touchHandlers = {
    touchstart: (event) => tracker.start(event.timeStamp, points(event.changedTouches)),
    touchmove: (event) => tracker.move(event.timeStamp, points(event.changedTouches)),
    touchend: (event) => tracker.end(event.timeStamp, ids(event.changedTouches)),
    touchcancel: (event) => tracker.cancel(event.timeStamp, ids(event.changedTouches)),
};
for (const [type, handler] of Object.entries(touchHandlers)) {
    surface.addEventListener(type, (event) => {
        // No scrolling, zooming or emulated mouse clicks: the surface is ours.
        event.preventDefault();
        handler(event);
        requestFrame();
    }, {passive: false});
}

// The buttons under the surface hold as long as they are pressed, so a finger on the surface can drag.
for (const [id, button] of [["left", LEFT], ["right", RIGHT]]) {
    const element = $(id);
    let held = false;
    const release = () => {
        if (!held)
            return;
        held = false;
        element.classList.remove("held");
        sendAll(tracker.frame(performance.now()));
        session.sendInput({kind: "up", button});
    };
    element.addEventListener("pointerdown", (event) => {
        event.preventDefault();
        element.setPointerCapture(event.pointerId);
        held = true;
        element.classList.add("held");
        sendAll(tracker.frame(performance.now()));
        session.sendInput({kind: "down", button});
    });
    element.addEventListener("pointerup", release);
    element.addEventListener("pointercancel", release);
    element.addEventListener("lostpointercapture", release);
    element.addEventListener("contextmenu", (event) => event.preventDefault());
}

for (const element of document.querySelectorAll("[data-key]"))
    element.addEventListener("click", () => sendAll(keyPress(keys[element.dataset.key])));
for (const element of document.querySelectorAll("[data-shortcut]"))
    element.addEventListener("click", () => sendAll(shortcut(keys[element.dataset.shortcut])));

attachKeyboard($("typing"), sendAll);

$("pair-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const code = $("code").value.trim();
    if (/^\d{6}$/.test(code))
        session.pair(code);
});

// Safari on an iPhone zooms on a pinch whatever the viewport says.
document.addEventListener("gesturestart", (event) => event.preventDefault());
window.addEventListener("online", () => session.retryNow());
document.addEventListener("visibilitychange", () => {
    if (!document.hidden)
        session.retryNow();
});

const code = codeFromAddress();
if (code)
    $("code").value = code;
session.start(code);
