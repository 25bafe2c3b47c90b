// SPDX-License-Identifier: MIT
#include "platform/input/key_map.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>

namespace vemdo {

namespace {

struct KeyRow {
    std::uint16_t phoneCode;
    KeyMeaning meaning;
};

constexpr KeyRow keyTable[] = {
    {0, {XKB_KEY_a, KEY_A}},
    {1, {XKB_KEY_s, KEY_S}},
    {2, {XKB_KEY_d, KEY_D}},
    {3, {XKB_KEY_f, KEY_F}},
    {4, {XKB_KEY_h, KEY_H}},
    {5, {XKB_KEY_g, KEY_G}},
    {6, {XKB_KEY_z, KEY_Z}},
    {7, {XKB_KEY_x, KEY_X}},
    {8, {XKB_KEY_c, KEY_C}},
    {9, {XKB_KEY_v, KEY_V}},
    {10, {XKB_KEY_section, KEY_102ND}},
    {11, {XKB_KEY_b, KEY_B}},
    {12, {XKB_KEY_q, KEY_Q}},
    {13, {XKB_KEY_w, KEY_W}},
    {14, {XKB_KEY_e, KEY_E}},
    {15, {XKB_KEY_r, KEY_R}},
    {16, {XKB_KEY_y, KEY_Y}},
    {17, {XKB_KEY_t, KEY_T}},
    {18, {XKB_KEY_1, KEY_1}},
    {19, {XKB_KEY_2, KEY_2}},
    {20, {XKB_KEY_3, KEY_3}},
    {21, {XKB_KEY_4, KEY_4}},
    {22, {XKB_KEY_6, KEY_6}},
    {23, {XKB_KEY_5, KEY_5}},
    {24, {XKB_KEY_equal, KEY_EQUAL}},
    {25, {XKB_KEY_9, KEY_9}},
    {26, {XKB_KEY_7, KEY_7}},
    {27, {XKB_KEY_minus, KEY_MINUS}},
    {28, {XKB_KEY_8, KEY_8}},
    {29, {XKB_KEY_0, KEY_0}},
    {30, {XKB_KEY_bracketright, KEY_RIGHTBRACE}},
    {31, {XKB_KEY_o, KEY_O}},
    {32, {XKB_KEY_u, KEY_U}},
    {33, {XKB_KEY_bracketleft, KEY_LEFTBRACE}},
    {34, {XKB_KEY_i, KEY_I}},
    {35, {XKB_KEY_p, KEY_P}},
    {36, {XKB_KEY_Return, KEY_ENTER}},
    {37, {XKB_KEY_l, KEY_L}},
    {38, {XKB_KEY_j, KEY_J}},
    {39, {XKB_KEY_apostrophe, KEY_APOSTROPHE}},
    {40, {XKB_KEY_k, KEY_K}},
    {41, {XKB_KEY_semicolon, KEY_SEMICOLON}},
    {42, {XKB_KEY_backslash, KEY_BACKSLASH}},
    {43, {XKB_KEY_comma, KEY_COMMA}},
    {44, {XKB_KEY_slash, KEY_SLASH}},
    {45, {XKB_KEY_n, KEY_N}},
    {46, {XKB_KEY_m, KEY_M}},
    {47, {XKB_KEY_period, KEY_DOT}},
    {48, {XKB_KEY_Tab, KEY_TAB}},
    {49, {XKB_KEY_space, KEY_SPACE}},
    {50, {XKB_KEY_grave, KEY_GRAVE}},
    {51, {XKB_KEY_BackSpace, KEY_BACKSPACE}},
    {53, {XKB_KEY_Escape, KEY_ESC}},
    {54, {XKB_KEY_Control_R, KEY_RIGHTCTRL}},
    {55, {XKB_KEY_Control_L, KEY_LEFTCTRL}},
    {56, {XKB_KEY_Shift_L, KEY_LEFTSHIFT}},
    {57, {XKB_KEY_Caps_Lock, KEY_CAPSLOCK}},
    {58, {XKB_KEY_Alt_L, KEY_LEFTALT}},
    {59, {XKB_KEY_Control_L, KEY_LEFTCTRL}},
    {60, {XKB_KEY_Shift_R, KEY_RIGHTSHIFT}},
    {61, {XKB_KEY_Alt_R, KEY_RIGHTALT}},
    {62, {XKB_KEY_Control_R, KEY_RIGHTCTRL}},
    {64, {XKB_KEY_F17, KEY_F17}},
    {65, {XKB_KEY_KP_Decimal, KEY_KPDOT}},
    {67, {XKB_KEY_KP_Multiply, KEY_KPASTERISK}},
    {69, {XKB_KEY_KP_Add, KEY_KPPLUS}},
    {72, {XKB_KEY_XF86AudioRaiseVolume, KEY_VOLUMEUP}},
    {73, {XKB_KEY_XF86AudioLowerVolume, KEY_VOLUMEDOWN}},
    {74, {XKB_KEY_XF86AudioMute, KEY_MUTE}},
    {75, {XKB_KEY_KP_Divide, KEY_KPSLASH}},
    {76, {XKB_KEY_KP_Enter, KEY_KPENTER}},
    {78, {XKB_KEY_KP_Subtract, KEY_KPMINUS}},
    {79, {XKB_KEY_F18, KEY_F18}},
    {80, {XKB_KEY_F19, KEY_F19}},
    {81, {XKB_KEY_KP_Equal, KEY_KPEQUAL}},
    {82, {XKB_KEY_KP_0, KEY_KP0}},
    {83, {XKB_KEY_KP_1, KEY_KP1}},
    {84, {XKB_KEY_KP_2, KEY_KP2}},
    {85, {XKB_KEY_KP_3, KEY_KP3}},
    {86, {XKB_KEY_KP_4, KEY_KP4}},
    {87, {XKB_KEY_KP_5, KEY_KP5}},
    {88, {XKB_KEY_KP_6, KEY_KP6}},
    {89, {XKB_KEY_KP_7, KEY_KP7}},
    {90, {XKB_KEY_F20, KEY_F20}},
    {91, {XKB_KEY_KP_8, KEY_KP8}},
    {92, {XKB_KEY_KP_9, KEY_KP9}},
    {96, {XKB_KEY_F5, KEY_F5}},
    {97, {XKB_KEY_F6, KEY_F6}},
    {98, {XKB_KEY_F7, KEY_F7}},
    {99, {XKB_KEY_F3, KEY_F3}},
    {100, {XKB_KEY_F8, KEY_F8}},
    {101, {XKB_KEY_F9, KEY_F9}},
    {103, {XKB_KEY_F11, KEY_F11}},
    {105, {XKB_KEY_F13, KEY_F13}},
    {106, {XKB_KEY_F16, KEY_F16}},
    {107, {XKB_KEY_F14, KEY_F14}},
    {109, {XKB_KEY_F10, KEY_F10}},
    {111, {XKB_KEY_F12, KEY_F12}},
    {113, {XKB_KEY_F15, KEY_F15}},
    // The Help key sits where PC keyboards have Insert.
    {114, {XKB_KEY_Insert, KEY_INSERT}},
    {115, {XKB_KEY_Home, KEY_HOME}},
    {116, {XKB_KEY_Page_Up, KEY_PAGEUP}},
    {117, {XKB_KEY_Delete, KEY_DELETE}},
    {118, {XKB_KEY_F4, KEY_F4}},
    {119, {XKB_KEY_End, KEY_END}},
    {120, {XKB_KEY_F2, KEY_F2}},
    {121, {XKB_KEY_Page_Down, KEY_PAGEDOWN}},
    {122, {XKB_KEY_F1, KEY_F1}},
    {123, {XKB_KEY_Left, KEY_LEFT}},
    {124, {XKB_KEY_Right, KEY_RIGHT}},
    {125, {XKB_KEY_Down, KEY_DOWN}},
    {126, {XKB_KEY_Up, KEY_UP}},
};
static_assert(std::is_sorted(std::begin(keyTable), std::end(keyTable),
                             [](const KeyRow& a, const KeyRow& b) { return a.phoneCode < b.phoneCode; }));

// xkb numbers keys as the X server does: the Linux code plus 8.
constexpr xkb_keycode_t xkbOffset = 8;

} // namespace

std::optional<KeyMeaning> keyMeaning(std::uint16_t phoneKeyCode) {
    auto it = std::lower_bound(std::begin(keyTable), std::end(keyTable), phoneKeyCode,
                               [](const KeyRow& row, std::uint16_t code) { return row.phoneCode < code; });
    if (it == std::end(keyTable) || it->phoneCode != phoneKeyCode)
        return std::nullopt;
    return it->meaning;
}

std::uint16_t linuxButton(PointerButton button) {
    switch (button) {
    case PointerButton::left:
        return BTN_LEFT;
    case PointerButton::right:
        return BTN_RIGHT;
    case PointerButton::middle:
        break;
    }
    return BTN_MIDDLE;
}

std::uint32_t keysymForScalar(char32_t scalar) {
    switch (scalar) {
    case U'\b':
        return XKB_KEY_BackSpace;
    case U'\t':
        return XKB_KEY_Tab;
    case U'\n':
    case U'\r':
        return XKB_KEY_Return;
    case 0x1B:
        return XKB_KEY_Escape;
    case 0x7F:
        return XKB_KEY_Delete;
    default:
        break;
    }
    // Printable Latin-1 has keysyms equal to the code point; everything else has the Unicode keysym range.
    if ((scalar >= 0x20 && scalar <= 0x7E) || (scalar >= 0xA0 && scalar <= 0xFF))
        return static_cast<std::uint32_t>(scalar);
    return 0x01000000u | static_cast<std::uint32_t>(scalar);
}

std::optional<KeyPosition> findKey(xkb_keymap* keymap, std::uint32_t keysym) {
    if (!keymap)
        return std::nullopt;
    const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    const xkb_mod_mask_t shiftMask = shiftIndex == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t(1) << shiftIndex;
    std::optional<KeyPosition> shifted;
    for (xkb_keycode_t key = std::max(xkb_keymap_min_keycode(keymap), xkbOffset + 1);
         key <= xkb_keymap_max_keycode(keymap); ++key) {
        xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* symbols = nullptr;
            int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &symbols);
            if (count != 1 || symbols[0] != keysym)
                continue;
            xkb_mod_mask_t masks[8];
            std::size_t maskCount = xkb_keymap_key_get_mods_for_level(keymap, key, 0, level, masks, std::size(masks));
            for (std::size_t i = 0; i < maskCount; ++i) {
                auto code = static_cast<std::uint16_t>(key - xkbOffset);
                if (masks[i] == 0)
                    return KeyPosition{code, false};
                if (masks[i] == shiftMask && shiftMask != 0 && !shifted)
                    shifted = KeyPosition{code, true};
            }
        }
    }
    return shifted;
}

std::optional<KeyPosition> keyForPhoneCode(xkb_keymap* keymap, std::uint16_t phoneKeyCode) {
    auto meaning = keyMeaning(phoneKeyCode);
    if (!meaning)
        return std::nullopt;
    if (auto position = findKey(keymap, meaning->keysym))
        return position;
    return KeyPosition{meaning->linuxCode, false};
}

xkb_keymap* defaultKeymap() {
    static xkb_keymap* keymap = [] {
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (!context)
            return static_cast<xkb_keymap*>(nullptr);
        xkb_keymap* made = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (!made) {
            xkb_rule_names us{nullptr, nullptr, "us", nullptr, nullptr};
            made = xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
        }
        xkb_context_unref(context);
        return made;
    }();
    return keymap;
}

std::string keymapTypingScalars(const std::vector<char32_t>& scalars) {
    std::string keycodes;
    std::string symbols;
    for (std::size_t i = 0; i < scalars.size(); ++i) {
        char name[64];
        if (xkb_keysym_get_name(keysymForScalar(scalars[i]), name, sizeof name) < 0)
            std::snprintf(name, sizeof name, "NoSymbol");
        const std::string key = "<T" + std::to_string(i + 1) + ">";
        keycodes += "    " + key + " = " + std::to_string(i + 1 + xkbOffset) + ";\n";
        symbols += "    key " + key + " { [ " + name + " ] };\n";
    }
    return "xkb_keymap {\n"
           "xkb_keycodes \"vemdo\" {\n    minimum = 8;\n    maximum = " +
           std::to_string(std::max<std::size_t>(scalars.size() + xkbOffset, 255)) + ";\n" + keycodes +
           "};\n"
           "xkb_types \"vemdo\" { include \"complete\" };\n"
           "xkb_compatibility \"vemdo\" { include \"complete\" };\n"
           "xkb_symbols \"vemdo\" {\n" +
           symbols + "};\n};\n";
}

void warnTextDropped(std::string_view backendName) {
    static std::mutex mutex;
    static std::set<std::string, std::less<>> warned;
    std::lock_guard lock(mutex);
    if (warned.count(backendName))
        return;
    warned.emplace(backendName);
    std::fprintf(stderr,
                 "vemdo: the %.*s input backend cannot type some characters of the text sent (they are not on "
                 "the keyboard layout); such characters are left out\n",
                 int(backendName.size()), backendName.data());
}

} // namespace vemdo
