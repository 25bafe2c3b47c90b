// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

class StringTable;

// The autostart entry as the desktop reads it. Only `enabled` starts the program at login.
enum class AutostartState { absent, enabled, disabledByDesktop, unknownProgram };

// Everything one rebuild of the status menu reads; the menu is a function of this value alone.
struct MenuSnapshot {
    bool listening = false;
    int clients = 0;
    // Whether input can be posted now.
    bool canPost = false;
    std::optional<std::string> code;
    AutostartState autostart = AutostartState::absent;
    // Whether the browser page is being served.
    bool browserPage = false;
    // The code took too many wrong guesses; pairing waits for a new one.
    bool pairingStopped = false;
    // The store could not be read or written: new pairings and codes are not kept.
    bool settingsUnsaved = false;
    // Why input is not possible, when it is not: the input line then says what the desktop needs.
    InputObstacle obstacle = InputObstacle::none;
};

enum class FontWeight { regular, medium, semibold, bold };
// Colours by meaning; the renderer maps them onto its palette.
enum class TextColor { normal, secondary, faint, accent };
enum class TextStyle { plain, title, codeCaption, codeDigits, sectionHeader, note };

struct TextStyleSpec {
    double pointSize = 0; // 0: the menu's standard font
    FontWeight weight = FontWeight::regular;
    bool monospaced = false;
    TextColor color = TextColor::normal;
    double kerning = 0;
};
TextStyleSpec textStyleSpec(TextStyle style);

struct TextRun {
    std::string text;
    TextStyle style = TextStyle::plain;
    bool operator==(const TextRun&) const = default;
};

// What an icon shows, by meaning; the renderer picks the picture (the program's own icon, the desktop's
// icon theme).
enum class Symbol {
    program,
    pairingCode,
    warning,
    refresh,
    browser,
    serverRunning,
    serverStopped,
    noDevice,
    devices,
    inputAllowed,
    inputBlocked,
    help,
    network,
    launchAtLogin,
    quit,
};

// A symbol drawn at a point size. Renderers that cannot load the symbol show no icon.
struct SymbolIcon {
    Symbol symbol = Symbol::program;
    double pointSize = 0;
    // For screen readers, where the entry's text does not say it already.
    std::string accessibleName;
    bool operator==(const SymbolIcon&) const = default;
};

enum class MenuEntryKind { separator, information, action };
enum class MenuAction { none, refreshPairingCode, showInputHelp, toggleLaunchAtLogin, quit, connectWithBrowser };
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
    inputState,
    inputHelp,
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
    // One character or empty: the entry's shortcut is Control and this key.
    std::string shortcutKey;
    bool checkable = false;
    bool checked = false;

    bool isStyled() const;
    bool operator==(const MenuEntry&) const = default;
};

// Shown in the code line when no code has been published yet.
inline constexpr std::string_view missingCodePlaceholder = "------";
inline constexpr std::string_view productTitle = "Vemdo Trackpad";
inline constexpr std::string_view launchAtLoginTitle = "Launch at Login";

// The program's own icon, where the menu opens from (the tray).
SymbolIcon programIcon();

// The entries of the status menu in order: 18 while input is not possible, 17 while it is, one more while
// the browser page is served, one more while pairing is stopped and one more while the settings cannot be
// saved.
std::vector<MenuEntry> buildMenuEntries(const MenuSnapshot& snapshot, const StringTable& strings);

// The input line's text while input is not possible, by what stands in the way.
std::string inputNotPossibleText(InputObstacle obstacle, const StringTable& strings);
// The input alert's explanation of what the desktop needs.
std::string inputAlertMessage(InputObstacle obstacle, const StringTable& strings);

} // namespace vemdo
