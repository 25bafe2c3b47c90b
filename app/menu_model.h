// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

class StringTable;

// The login item's registration as the system reports it. Only `enabled` counts as registered.
enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// Everything one rebuild of the status menu reads; the menu is a function of this value alone.
struct MenuSnapshot {
    bool listening = false;
    int clients = 0;
    bool trusted = false;
    std::optional<std::string> code;
    LoginItemStatus loginItem = LoginItemStatus::notRegistered;
    // Whether the browser page is being served.
    bool browserPage = false;
    // The code took too many wrong guesses; pairing waits for a new one.
    bool pairingStopped = false;
    // The store could not be read or written: new pairings and codes are not kept.
    bool settingsUnsaved = false;
    // Why input is not possible, when it is not: the permission line then says what the desktop needs.
    InputObstacle obstacle = InputObstacle::none;
};

enum class FontWeight { regular, medium, semibold, bold };
// Colours by meaning; the renderer maps them onto its palette.
enum class SemanticColor { label, secondaryLabel, tertiaryLabel, controlAccent };
enum class TextStyle { plain, title, codeCaption, codeDigits, sectionHeader, note };

struct TextStyleSpec {
    double pointSize = 0; // 0: the menu's standard font
    FontWeight weight = FontWeight::regular;
    bool monospaced = false;
    SemanticColor color = SemanticColor::label;
    double kerning = 0;
};
TextStyleSpec textStyleSpec(TextStyle style);

struct TextRun {
    std::string text;
    TextStyle style = TextStyle::plain;
    bool operator==(const TextRun&) const = default;
};

// A named symbol drawn at a point size and weight. Renderers that cannot load the symbol show no icon.
struct SymbolIcon {
    std::string name;
    double pointSize = 0;
    FontWeight weight = FontWeight::regular;
    std::string accessibilityDescription;
    bool operator==(const SymbolIcon&) const = default;
};

enum class MenuEntryKind { separator, information, action };
enum class MenuAction {
    none,
    refreshPairingCode,
    openAccessibilitySettings,
    toggleLaunchAtLogin,
    quit,
    connectWithBrowser
};
// Which line of the menu an entry is, so renderers and tests need not match on texts.
enum class MenuEntryRole {
    separator,
    title,
    pairingCode,
    pairingStopped,
    refreshCode,
    statusHeader,
    serverState,
    settingsUnsaved,
    connections,
    securityHeader,
    permission,
    openSettings,
    networkNote,
    launchAtLogin,
    quit,
    connectWithBrowser,
};

struct MenuEntry {
    MenuEntryKind kind = MenuEntryKind::separator;
    MenuEntryRole role = MenuEntryRole::separator;
    // The styled title; a plain title is one run in the plain style.
    std::vector<TextRun> runs;
    // The same title as one line of plain text, for hosts that cannot draw styled entries (D-Bus menus,
    // the terminal). Line breaks of the styled title become ": ".
    std::string plainText;
    std::optional<SymbolIcon> icon;
    bool enabled = false;
    MenuAction action = MenuAction::none;
    // One character or empty; the modifier is the platform's command modifier.
    std::string keyEquivalent;
    bool checkable = false;
    bool checked = false;

    bool isStyled() const;
    bool operator==(const MenuEntry&) const = default;
};

// Shown in the code line when no code has been published yet.
inline constexpr std::string_view missingCodePlaceholder = "------";
inline constexpr std::string_view productTitle = "Vemdo Trackpad";
inline constexpr std::string_view launchAtLoginTitle = "Launch at Login";

// The status item's own symbol, with its accessibility description.
SymbolIcon statusItemIcon();

// The entries of the status menu in order: 18 when the permission is missing, 17 when it is granted, one
// more while the browser page is served, one more while pairing is stopped and one more while the settings
// cannot be saved.
std::vector<MenuEntry> buildMenuEntries(const MenuSnapshot& snapshot, const StringTable& strings);

// The permission line's text while input is not possible, by what stands in the way.
std::string inputNotPossibleText(InputObstacle obstacle, const StringTable& strings);
// The permission alert's explanation of what the desktop needs.
std::string inputPermissionMessage(InputObstacle obstacle, const StringTable& strings);

} // namespace vemdo
