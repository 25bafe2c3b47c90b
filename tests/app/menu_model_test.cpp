// SPDX-License-Identifier: MIT
#include "app/menu_model.h"

#include "fake_string_table.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vemdo {
namespace {

using testing::MapStringTable;

const MenuEntry& entryWithRole(const std::vector<MenuEntry>& entries, MenuEntryRole role) {
    auto it = std::find_if(entries.begin(), entries.end(), [role](const MenuEntry& e) { return e.role == role; });
    if (it == entries.end())
        throw std::runtime_error("no entry with that role");
    return *it;
}

std::vector<MenuEntryRole> roles(const std::vector<MenuEntry>& entries) {
    std::vector<MenuEntryRole> result;
    for (const auto& e : entries)
        result.push_back(e.role);
    return result;
}

using R = MenuEntryRole;

TEST(MenuModel, TrustedMenuHasSeventeenEntriesInOrder) {
    MenuSnapshot snapshot{true, 0, true, "123456", LoginItemStatus::notRegistered};
    auto entries = buildMenuEntries(snapshot, MapStringTable{});
    std::vector<MenuEntryRole> expected{
        R::title,       R::separator,   R::pairingCode,   R::refreshCode,    R::separator,  R::statusHeader,
        R::serverState, R::connections, R::separator,     R::securityHeader, R::permission, R::separator,
        R::networkNote, R::separator,   R::launchAtLogin, R::separator,      R::quit};
    EXPECT_EQ(roles(entries), expected);
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const MenuEntry& e) { return e.kind == MenuEntryKind::separator; }),
              6);
}

TEST(MenuModel, UntrustedMenuPutsOpenSettingsAfterThePermissionLine) {
    MenuSnapshot snapshot{true, 0, false, "123456", LoginItemStatus::notRegistered};
    auto entries = buildMenuEntries(snapshot, MapStringTable{});
    ASSERT_EQ(entries.size(), 18u);
    EXPECT_EQ(entries[10].role, R::permission);
    EXPECT_EQ(entries[10].plainText, "Accessibility Permission Required");
    EXPECT_EQ(entries[10].icon->name, "exclamationmark.shield.fill");
    EXPECT_EQ(entries[11].role, R::openSettings);
    EXPECT_EQ(entries[11].plainText, "Open System Settings");
    EXPECT_EQ(entries[11].action, MenuAction::openAccessibilitySettings);
    EXPECT_TRUE(entries[11].enabled);
    EXPECT_EQ(entries[11].keyEquivalent, "");
    EXPECT_EQ(entries[11].icon, (SymbolIcon{"gear.badge", 14, FontWeight::medium, ""}));
    EXPECT_EQ(entries[12].kind, MenuEntryKind::separator);
}

TEST(MenuModel, TrustedPermissionLine) {
    auto entries = buildMenuEntries({true, 0, true, "123456"}, MapStringTable{});
    const auto& line = entryWithRole(entries, R::permission);
    EXPECT_EQ(line.plainText, "Accessibility Permission Granted");
    EXPECT_EQ(line.icon, (SymbolIcon{"checkmark.shield.fill", 16, FontWeight::semibold, ""}));
    EXPECT_EQ(
        std::count_if(entries.begin(), entries.end(), [](const MenuEntry& e) { return e.role == R::openSettings; }), 0);
}

TEST(MenuModel, PairingCodeLine) {
    struct Case {
        std::optional<std::string> code;
        std::string digits;
    };
    for (const auto& c : {Case{"123456", "123456"}, Case{"900001", "900001"}, Case{std::nullopt, "------"}}) {
        auto entries = buildMenuEntries({false, 0, true, c.code}, MapStringTable{});
        const auto& line = entryWithRole(entries, R::pairingCode);
        EXPECT_EQ(line.runs, (std::vector<TextRun>{{"Pairing Code\n", TextStyle::codeCaption},
                                                   {c.digits, TextStyle::codeDigits}}));
        EXPECT_EQ(line.plainText, "Pairing Code: " + c.digits);
        EXPECT_EQ(line.icon, (SymbolIcon{"key.fill", 24, FontWeight::semibold, ""}));
        EXPECT_EQ(line.kind, MenuEntryKind::information);
        EXPECT_FALSE(line.enabled);
        EXPECT_TRUE(line.isStyled());
    }
}

TEST(MenuModel, ServerLineFollowsListening) {
    struct Case {
        bool listening;
        std::string text;
        std::string symbol;
    };
    for (const auto& c : {Case{true, "Server Running", "antenna.radiowaves.left.and.right"},
                          Case{false, "Server Stopped", "antenna.radiowaves.left.and.right.slash"}}) {
        auto entries = buildMenuEntries({c.listening, 0, true, "123456"}, MapStringTable{});
        const auto& line = entryWithRole(entries, R::serverState);
        EXPECT_EQ(line.plainText, c.text);
        EXPECT_EQ(line.icon, (SymbolIcon{c.symbol, 16, FontWeight::semibold, ""}));
        EXPECT_FALSE(line.enabled);
        EXPECT_EQ(line.action, MenuAction::none);
    }
}

TEST(MenuModel, ConnectionsLineFollowsClientCount) {
    struct Case {
        int clients;
        std::string text;
        SymbolIcon icon;
    };
    const Case cases[] = {
        {0, "Waiting for Device", {"iphone.gen3.slash", 16, FontWeight::medium, ""}},
        {-1, "Waiting for Device", {"iphone.gen3.slash", 16, FontWeight::medium, ""}},
        {1, "1 Device(s) Connected", {"iphone.gen3.radiowaves.left.and.right", 16, FontWeight::semibold, ""}},
        {3, "3 Device(s) Connected", {"iphone.gen3.radiowaves.left.and.right", 16, FontWeight::semibold, ""}},
    };
    for (const auto& c : cases) {
        auto entries = buildMenuEntries({true, c.clients, true, "123456"}, MapStringTable{});
        const auto& line = entryWithRole(entries, R::connections);
        EXPECT_EQ(line.plainText, c.text) << c.clients;
        EXPECT_EQ(line.icon, c.icon) << c.clients;
    }
}

TEST(MenuModel, LaunchAtLoginCheckedOnlyWhenEnabled) {
    struct Case {
        LoginItemStatus status;
        bool checked;
    };
    for (const auto& c : {Case{LoginItemStatus::enabled, true}, Case{LoginItemStatus::notRegistered, false},
                          Case{LoginItemStatus::requiresApproval, false}, Case{LoginItemStatus::notFound, false}}) {
        auto entries = buildMenuEntries({true, 0, true, "123456", c.status}, MapStringTable{});
        const auto& line = entryWithRole(entries, R::launchAtLogin);
        EXPECT_TRUE(line.checkable);
        EXPECT_EQ(line.checked, c.checked) << static_cast<int>(c.status);
        EXPECT_TRUE(line.enabled);
        EXPECT_EQ(line.action, MenuAction::toggleLaunchAtLogin);
        EXPECT_EQ(line.icon, (SymbolIcon{"power.circle", 14, FontWeight::medium, ""}));
    }
}

TEST(MenuModel, ActionEntriesCarryActionsAndKeys) {
    auto entries = buildMenuEntries({true, 0, false, "123456"}, MapStringTable{});
    const auto& refresh = entryWithRole(entries, R::refreshCode);
    EXPECT_EQ(refresh.plainText, "Generate New Code");
    EXPECT_EQ(refresh.action, MenuAction::refreshPairingCode);
    EXPECT_EQ(refresh.keyEquivalent, "r");
    EXPECT_EQ(refresh.icon, (SymbolIcon{"arrow.triangle.2.circlepath", 14, FontWeight::medium, "Refresh"}));
    const auto& quit = entryWithRole(entries, R::quit);
    EXPECT_EQ(quit.plainText, "Quit");
    EXPECT_EQ(quit.action, MenuAction::quit);
    EXPECT_EQ(quit.keyEquivalent, "q");
    EXPECT_EQ(quit.icon, (SymbolIcon{"power.circle.fill", 14, FontWeight::semibold, ""}));
    for (const auto& e : entries) {
        if (e.kind == MenuEntryKind::information) {
            EXPECT_FALSE(e.enabled) << e.plainText;
            EXPECT_EQ(e.action, MenuAction::none) << e.plainText;
        }
        if (e.kind == MenuEntryKind::action) {
            EXPECT_TRUE(e.enabled) << e.plainText;
        }
        // Only the refresh icon describes itself.
        if (e.icon && e.role != R::refreshCode) {
            EXPECT_EQ(e.icon->accessibilityDescription, "") << e.plainText;
        }
    }
}

TEST(MenuModel, StyledLines) {
    auto entries = buildMenuEntries({true, 0, true, "123456"}, MapStringTable{});
    struct Case {
        MenuEntryRole role;
        std::string text;
        TextStyle style;
    };
    const Case cases[] = {
        {R::title, "Vemdo Trackpad", TextStyle::title},
        {R::statusHeader, "STATUS", TextStyle::sectionHeader},
        {R::securityHeader, "SECURITY", TextStyle::sectionHeader},
        {R::networkNote, "iOS device must be on same Wi-Fi network", TextStyle::note},
    };
    for (const auto& c : cases) {
        const auto& line = entryWithRole(entries, c.role);
        EXPECT_EQ(line.runs, (std::vector<TextRun>{{c.text, c.style}}));
        EXPECT_EQ(line.plainText, c.text);
    }
    EXPECT_FALSE(entryWithRole(entries, R::title).icon.has_value());
    EXPECT_EQ(entryWithRole(entries, R::networkNote).icon,
              (SymbolIcon{"wifi.circle.fill", 14, FontWeight::medium, ""}));
    EXPECT_FALSE(entryWithRole(entries, R::serverState).isStyled());
}

TEST(MenuModel, TextStyles) {
    struct Case {
        TextStyle style;
        TextStyleSpec look;
    };
    const Case cases[] = {
        {TextStyle::title, {15, FontWeight::bold, false, SemanticColor::label, 0}},
        {TextStyle::codeCaption, {12, FontWeight::semibold, false, SemanticColor::secondaryLabel, 0}},
        {TextStyle::codeDigits, {28, FontWeight::bold, true, SemanticColor::controlAccent, 0}},
        {TextStyle::sectionHeader, {10, FontWeight::bold, false, SemanticColor::tertiaryLabel, 0.5}},
        {TextStyle::note, {11, FontWeight::medium, false, SemanticColor::secondaryLabel, 0}},
    };
    for (const auto& c : cases) {
        auto look = textStyleSpec(c.style);
        EXPECT_EQ(look.pointSize, c.look.pointSize);
        EXPECT_EQ(look.weight, c.look.weight);
        EXPECT_EQ(look.monospaced, c.look.monospaced);
        EXPECT_EQ(look.color, c.look.color);
        EXPECT_EQ(look.kerning, c.look.kerning);
    }
}

TEST(MenuModel, TranslatedTableLeavesTheTwoFixedTextsAlone) {
    MapStringTable turkish{{"menu.pairing_code", "Eşleştirme Kodu"},
                           {"menu.connected", "%d Cihaz Bağlı"},
                           {"menu.quit", "Çıkış"},
                           {"accessibility.refresh", "Yenile"}};
    auto entries = buildMenuEntries({true, 2, true, "654321", LoginItemStatus::enabled}, turkish);
    EXPECT_EQ(entryWithRole(entries, R::title).plainText, "Vemdo Trackpad");
    EXPECT_EQ(entryWithRole(entries, R::launchAtLogin).plainText, "Launch at Login");
    EXPECT_EQ(entryWithRole(entries, R::pairingCode).plainText, "Eşleştirme Kodu: 654321");
    EXPECT_EQ(entryWithRole(entries, R::connections).plainText, "2 Cihaz Bağlı");
    EXPECT_EQ(entryWithRole(entries, R::quit).plainText, "Çıkış");
    EXPECT_EQ(entryWithRole(entries, R::refreshCode).icon->accessibilityDescription, "Yenile");
}

TEST(MenuModel, CountFormat) {
    EXPECT_EQ(formatCount("%d Device(s) Connected", 12), "12 Device(s) Connected");
    EXPECT_EQ(formatCount("Connected: %d", 1), "Connected: 1");
    EXPECT_EQ(formatCount("No number", 4), "No number");
}

TEST(MenuModel, StatusItemSymbol) {
    EXPECT_EQ(statusItemIcon(),
              (SymbolIcon{"rectangle.and.hand.point.up.left.filled", 16, FontWeight::medium, "Vemdo Trackpad"}));
}

} // namespace
} // namespace vemdo
