// SPDX-License-Identifier: MIT
#include "platform/input/key_map.h"
#include "platform/input/wheel_steps.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <vector>

namespace vemdo {
namespace {

using Keymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;

xkb_context* context() {
    static xkb_context* shared = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    return shared;
}

Keymap layout(const char* name) {
    const xkb_rule_names names{nullptr, nullptr, name, nullptr, nullptr};
    return {xkb_keymap_new_from_names(context(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS), xkb_keymap_unref};
}

TEST(KeyMap, APhoneKeyTypesItsSymbolOnTheUsersLayout) {
    // The key with the symbol wins over the key at the same place (y and z trade places on a German layout),
    // with Shift when the layout has it only there; a symbol the layout lacks falls back to the place.
    const std::tuple<const char*, std::uint16_t, std::uint16_t, bool> rows[] = {
        {"de", 16, KEY_Z, false},
        {"de", 44, KEY_7, true},
        {"us", 10, KEY_102ND, false},
        {"de", 55, KEY_LEFTCTRL, false}, // Command is Control
    };
    for (const auto& [name, phoneCode, linuxCode, shift] : rows) {
        auto position = keyForPhoneCode(layout(name).get(), phoneCode);
        ASSERT_TRUE(position) << name << " " << phoneCode;
        EXPECT_EQ(std::pair(position->linuxCode, position->shift), std::pair(linuxCode, shift))
            << name << " " << phoneCode;
    }
}

TEST(KeyMap, TheTextKeymapTypesEachCharacterOnItsOwnKey) {
    const std::u32string scalars = U"a\n\u00c9\u20ac\U0001F600\u0301";
    const auto text = keymapTypingScalars({scalars.begin(), scalars.end()});
    Keymap keymap(xkb_keymap_new_from_string(context(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, {}), xkb_keymap_unref);
    ASSERT_TRUE(keymap);
    std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(keymap.get()), xkb_state_unref);
    std::string typed;
    for (std::size_t key = 1; key <= scalars.size(); ++key) {
        char utf8[8] = "";
        xkb_state_key_get_utf8(state.get(), xkb_keycode_t(key + 8), utf8, sizeof utf8);
        typed += utf8;
    }
    EXPECT_EQ(typed, "a\r\u00c9\u20ac\U0001F600\u0301");
}

TEST(WheelClicks, PixelsAccumulateIntoClicksWithTheRemainderCarried) {
    constexpr int step = pixelsPerWheelClick;
    constexpr int cap = maxWheelClicksPerEvent;
    const std::vector<std::pair<std::vector<std::int32_t>, std::vector<int>>> cases{
        {{step / 2, step / 2, step / 2, step / 2}, {0, 1, 0, 1}},
        {{-3 * step - 5, -step + 5}, {-3, -1}},
        {{step - 1, -1, -step + 1}, {0, 0, -1}}, // a reversal drops what the other direction carried
        {{std::numeric_limits<std::int32_t>::max(), step}, {cap, 1}},
        {{std::numeric_limits<std::int32_t>::min()}, {-cap}},
    };
    for (const auto& [deltas, expected] : cases) {
        double remainder = 0;
        std::vector<int> clicks;
        for (auto delta : deltas)
            clicks.push_back(takeWheelClicks(remainder, delta));
        EXPECT_EQ(clicks, expected) << ::testing::PrintToString(deltas);
    }
}

} // namespace
} // namespace vemdo
