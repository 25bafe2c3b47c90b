// SPDX-License-Identifier: MIT
// Typing from the phone's keyboard. Mobile keyboards compose words (predictions, accents, other
// scripts): text goes out as a "text" message once it is committed, keys that edit go out as key
// presses, and the field itself stays empty.

// The computer's key codes (the native app's numbering; Command arrives as Control).
export const keys = Object.freeze({
    a: 0, z: 6, x: 7, c: 8, v: 9,
    enter: 36, tab: 48, backspace: 51, escape: 53, command: 55,
    forwardDelete: 117, left: 123, right: 124, down: 125, up: 126,
});

const keyByName = {
    Enter: keys.enter, Tab: keys.tab, Backspace: keys.backspace, Escape: keys.escape, Delete: keys.forwardDelete,
    ArrowLeft: keys.left, ArrowRight: keys.right, ArrowDown: keys.down, ArrowUp: keys.up,
};

const shortcutByLetter = {a: keys.a, z: keys.z, x: keys.x, c: keys.c, v: keys.v};

export function keyPress(code) {
    return [{kind: "keyDown", keyCode: code}, {kind: "keyUp", keyCode: code}];
}

// Command held around the key, as a Mac keyboard would send it.
export function shortcut(code) {
    return [{kind: "keyDown", keyCode: keys.command}, ...keyPress(code), {kind: "keyUp", keyCode: keys.command}];
}

// Watches a text field; send(messages) gets each batch of messages.
export function attachKeyboard(field, send) {
    // Set when the field changed by something already sent: a committed word (Safari reports the last
    // input of a composition after compositionend) or an edit the browser would not let us cancel.
    let alreadySent = false;
    const clear = () => {
        field.value = "";
        alreadySent = false;
    };

    field.addEventListener("keydown", (event) => {
        // 229: the keyboard is composing and will tell through input events.
        if (event.isComposing || event.keyCode === 229)
            return;
        if ((event.ctrlKey || event.metaKey) && shortcutByLetter[event.key.toLowerCase()] !== undefined) {
            event.preventDefault();
            send(shortcut(shortcutByLetter[event.key.toLowerCase()]));
            return;
        }
        const code = keyByName[event.key];
        if (code !== undefined) {
            event.preventDefault();
            send(keyPress(code));
        }
    });

    field.addEventListener("beforeinput", (event) => {
        switch (event.inputType) {
        case "insertCompositionText":
        case "deleteCompositionText":
        case "insertFromComposition":
            // The keyboard's own word in progress: left to it until compositionend.
            return;
        case "insertText":
            if (event.isComposing)
                return;
            if (event.data)
                send([{kind: "text", text: event.data}]);
            break;
        case "insertFromPaste":
        case "insertReplacementText": {
            const text = event.data ?? event.dataTransfer?.getData("text/plain") ?? "";
            if (text)
                send([{kind: "text", text}]);
            break;
        }
        case "insertLineBreak":
        case "insertParagraph":
            send(keyPress(keys.enter));
            break;
        case "deleteContentBackward":
        case "deleteWordBackward":
            send(keyPress(keys.backspace));
            break;
        case "deleteContentForward":
            send(keyPress(keys.forwardDelete));
            break;
        default:
            break;
        }
        if (event.cancelable)
            event.preventDefault();
        else
            alreadySent = true;
    });

    field.addEventListener("compositionend", (event) => {
        if (event.data)
            send([{kind: "text", text: event.data}]);
        alreadySent = true;
        // Emptied after the keyboard has finished with the field, so that it starts the next word afresh.
        setTimeout(clear, 0);
    });

    // Whatever slipped through (a browser without beforeinput) is sent as it stands.
    field.addEventListener("input", (event) => {
        if (event.isComposing)
            return;
        if (field.value && !alreadySent)
            send([{kind: "text", text: field.value}]);
        clear();
    });
}
