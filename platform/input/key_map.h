// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct xkb_keymap;

namespace vemdo {

// What one of the phone's virtual key codes (ANSI positions, 55 = Command) means on Linux: the keysym it
// types on a US layout and the Linux input key code of its position. Command is Control, so that the
// phone's copy, paste and undo shortcuts do what they do here.
struct KeyMeaning {
    std::uint32_t keysym = 0;
    std::uint16_t linuxCode = 0;
};

// No value for a code the table does not know.
std::optional<KeyMeaning> keyMeaning(std::uint16_t phoneKeyCode);

// The Linux input code of a pointer button.
std::uint16_t linuxButton(PointerButton button);

// The keysym that types one Unicode scalar.
std::uint32_t keysymForScalar(char32_t scalar);

// A key of a keymap and whether Shift must be held for it to give the wanted keysym.
struct KeyPosition {
    std::uint16_t linuxCode = 0;
    bool shift = false;
};

// Keysym to key through one xkb keymap (the user's current one): the first key of the first layout
// that gives the keysym with no modifier, else with Shift alone. No value when the layout has none.
std::optional<KeyPosition> findKey(xkb_keymap* keymap, std::uint32_t keysym);

// The key to press for a phone key code: the key that gives its keysym on the user's layout, so that the
// phone's "a" types "a" on any layout, else the key at the phone key's own position.
std::optional<KeyPosition> keyForPhoneCode(xkb_keymap* keymap, std::uint16_t phoneKeyCode);

// The keymap the user has when no compositor tells us one: the XKB_DEFAULT_* variables, else the US layout.
// Null only when xkbcommon cannot compile even that.
xkb_keymap* defaultKeymap();

// An xkb keymap in text form whose keys type the given scalars, one key each at Linux key codes 1, 2, ...
// in order. For typing characters that no key of the user's layout has.
std::string keymapTypingScalars(const std::vector<char32_t>& scalars);

// The key a text character goes out on. A press takes the key `find` gives and remembers it, so that the
// release comes up on that same key whatever changed in between; a release without a remembered press has
// no key, and neither has a press `find` finds none for.
template <typename Key, typename Find>
std::optional<Key> pairTextKey(std::map<char32_t, Key>& keysDown, char32_t scalar, bool down, Find&& find) {
    if (down) {
        std::optional<Key> key = find();
        if (key)
            keysDown[scalar] = *key;
        return key;
    }
    auto it = keysDown.find(scalar);
    if (it == keysDown.end())
        return std::nullopt;
    Key key = it->second;
    keysDown.erase(it);
    return key;
}

// Prints, once per process and backend, that text the backend cannot type was dropped.
void warnTextDropped(std::string_view backendName);

} // namespace vemdo
