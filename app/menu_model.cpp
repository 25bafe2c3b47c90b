// SPDX-License-Identifier: MIT
#include "app/menu_model.h"

#include "transport/string_table.h"

#include <utility>

namespace vemdo {

TextStyleSpec textStyleSpec(TextStyle style) {
    switch (style) {
    case TextStyle::title:
        return {15, FontWeight::bold, false, TextColor::normal, 0};
    case TextStyle::codeCaption:
        return {12, FontWeight::semibold, false, TextColor::secondary, 0};
    case TextStyle::codeDigits:
        return {28, FontWeight::bold, true, TextColor::accent, 0};
    case TextStyle::sectionHeader:
        return {10, FontWeight::bold, false, TextColor::faint, 0.5};
    case TextStyle::note:
        return {11, FontWeight::medium, false, TextColor::secondary, 0};
    case TextStyle::plain:
        break;
    }
    return {};
}

bool MenuEntry::isStyled() const {
    for (const auto& run : runs) {
        if (run.style != TextStyle::plain)
            return true;
    }
    return false;
}

SymbolIcon programIcon() {
    return {Symbol::program, 16, std::string(productTitle)};
}

namespace {

// "%d" in a looked-up format replaced by the number; a format without it is shown as it stands.
std::string formatCount(std::string_view format, int count) {
    std::string result(format);
    if (auto at = result.find("%d"); at != std::string::npos)
        result.replace(at, 2, std::to_string(count));
    return result;
}

MenuEntry separator() {
    return {};
}

MenuEntry information(MenuEntryRole role, std::string text, TextStyle style, std::optional<SymbolIcon> icon) {
    MenuEntry entry;
    entry.kind = MenuEntryKind::information;
    entry.role = role;
    entry.plainText = text;
    entry.runs = {{std::move(text), style}};
    entry.icon = std::move(icon);
    return entry;
}

MenuEntry actionEntry(MenuEntryRole role, std::string text, SymbolIcon icon, MenuAction action,
                      std::string shortcutKey) {
    MenuEntry entry;
    entry.kind = MenuEntryKind::action;
    entry.role = role;
    entry.plainText = text;
    entry.runs = {{std::move(text), TextStyle::plain}};
    entry.icon = std::move(icon);
    entry.enabled = true;
    entry.action = action;
    entry.shortcutKey = std::move(shortcutKey);
    return entry;
}

SymbolIcon icon(Symbol symbol, double size) {
    return {symbol, size, {}};
}

} // namespace

std::string inputNotPossibleText(InputObstacle obstacle, const StringTable& strings) {
    switch (obstacle) {
    case InputObstacle::xwayland:
        return strings.text("menu.input_xwayland", "Input Not Possible: Xwayland Reaches Only X11 Windows");
    case InputObstacle::kwinNotAuthorized:
        return strings.text("menu.input_kwin", "Input Not Possible: KDE Allows Input Only to Installed Programs");
    case InputObstacle::unsupportedCompositor:
        return strings.text("menu.input_unsupported", "Input Not Possible: This Wayland Desktop Is Not Supported");
    case InputObstacle::connectionLost:
        return strings.text("menu.input_lost", "Input Not Possible: Connection to the Desktop Lost");
    case InputObstacle::awaitingApproval:
        return strings.text("menu.input_awaiting", "Input Not Possible Yet: Allow Remote Control When Asked");
    case InputObstacle::refused:
        return strings.text("menu.input_refused", "Input Not Possible: Remote Control Was Not Allowed");
    case InputObstacle::none:
    case InputObstacle::noDesktop:
    case InputObstacle::noXTest:
        break;
    }
    return strings.text("menu.input_not_possible", "Input Not Possible");
}

std::string inputAlertMessage(InputObstacle obstacle, const StringTable& strings) {
    switch (obstacle) {
    case InputObstacle::xwayland:
        return strings.text("alert.input_xwayland",
                            "DISPLAY names Xwayland, whose input reaches only X11 windows, not the Wayland desktop. "
                            "Start Vemdo Trackpad inside the Wayland session, or choose the compositor's backend "
                            "with --input wlroots or --input kwin. The help page says more.");
    case InputObstacle::kwinNotAuthorized:
        return strings.text("alert.input_kwin",
                            "KDE Plasma lets only installed programs send input. Install Vemdo Trackpad (make "
                            "install), whose desktop file asks for it, then start it again. The help page says more.");
    case InputObstacle::unsupportedCompositor:
        return strings.text("alert.input_unsupported",
                            "This Wayland desktop offers none of the input interfaces Vemdo Trackpad speaks. "
                            "wlroots desktops (sway, Hyprland, river, Wayfire, labwc), KDE Plasma, GNOME, "
                            "desktops with the desktop portal's remote desktop and X11 sessions work. The help "
                            "page says more.");
    case InputObstacle::connectionLost:
        return strings.text("alert.input_lost", "The connection to the desktop was lost. Start Vemdo Trackpad again.");
    case InputObstacle::awaitingApproval:
        return strings.text("alert.input_awaiting",
                            "The desktop asks whether Vemdo Trackpad may control the pointer and keyboard (remote "
                            "desktop). Allow it in the desktop's dialog; where the desktop can remember the "
                            "answer, it asks only once. The help page says more.");
    case InputObstacle::refused:
        return strings.text("alert.input_refused",
                            "Remote control was not allowed, and Vemdo Trackpad does not ask again while it runs. "
                            "Start it again to be asked again. The help page says more.");
    case InputObstacle::none:
    case InputObstacle::noDesktop:
    case InputObstacle::noXTest:
        break;
    }
    return strings.text("alert.input_message",
                        "Vemdo Trackpad cannot move the pointer or type yet: it needs an X11 session whose server "
                        "offers the XTEST extension, a wlroots desktop (sway, Hyprland, river, Wayfire, labwc), KDE "
                        "Plasma, GNOME or a desktop whose portal offers remote desktop. The help page explains how to "
                        "make input possible.");
}

std::vector<MenuEntry> buildMenuEntries(const MenuSnapshot& snapshot, const StringTable& strings) {
    const std::string code = snapshot.code ? *snapshot.code : std::string(missingCodePlaceholder);
    std::vector<MenuEntry> entries;
    entries.reserve(19);

    entries.push_back(information(MenuEntryRole::title, std::string(productTitle), TextStyle::title, std::nullopt));
    entries.push_back(separator());

    {
        const std::string caption = strings.text("menu.pairing_code", "Pairing Code");
        MenuEntry entry =
            information(MenuEntryRole::pairingCode, caption, TextStyle::codeCaption, icon(Symbol::pairingCode, 24));
        entry.runs = {{caption + "\n", TextStyle::codeCaption}, {code, TextStyle::codeDigits}};
        entry.plainText = caption + ": " + code;
        entries.push_back(std::move(entry));
    }
    if (snapshot.pairingStopped) {
        entries.push_back(information(MenuEntryRole::pairingStopped,
                                      strings.text("menu.pairing_stopped", "Too many wrong codes: generate a new one"),
                                      TextStyle::plain, icon(Symbol::warning, 16)));
    }
    {
        SymbolIcon refresh = icon(Symbol::refresh, 14);
        refresh.accessibleName = strings.text("menu.refresh_name", "Refresh");
        entries.push_back(actionEntry(MenuEntryRole::refreshCode,
                                      strings.text("menu.refresh_code", "Generate New Code"), std::move(refresh),
                                      MenuAction::refreshPairingCode, "r"));
    }
    if (snapshot.browserPage) {
        entries.push_back(actionEntry(MenuEntryRole::connectWithBrowser,
                                      strings.text("menu.connect_browser", "Connect with a Browser…"),
                                      icon(Symbol::browser, 14), MenuAction::connectWithBrowser, "b"));
    }
    entries.push_back(separator());

    entries.push_back(information(MenuEntryRole::statusHeader, strings.text("menu.status_header", "STATUS"),
                                  TextStyle::sectionHeader, std::nullopt));
    if (snapshot.listening) {
        entries.push_back(information(MenuEntryRole::serverState, strings.text("menu.server_running", "Server Running"),
                                      TextStyle::plain, icon(Symbol::serverRunning, 16)));
    } else {
        entries.push_back(information(MenuEntryRole::serverState, strings.text("menu.server_stopped", "Server Stopped"),
                                      TextStyle::plain, icon(Symbol::serverStopped, 16)));
    }
    if (snapshot.settingsUnsaved) {
        entries.push_back(information(MenuEntryRole::settingsUnsaved,
                                      strings.text("menu.settings_unsaved", "Settings Cannot Be Saved"),
                                      TextStyle::plain, icon(Symbol::warning, 16)));
    }
    if (snapshot.clients < 1) {
        entries.push_back(information(MenuEntryRole::connections,
                                      strings.text("menu.no_connection", "Waiting for Device"), TextStyle::plain,
                                      icon(Symbol::noDevice, 16)));
    } else {
        entries.push_back(
            information(MenuEntryRole::connections,
                        formatCount(strings.text("menu.connected", "%d Device(s) Connected"), snapshot.clients),
                        TextStyle::plain, icon(Symbol::devices, 16)));
    }
    entries.push_back(separator());

    entries.push_back(information(MenuEntryRole::securityHeader, strings.text("menu.security_header", "SECURITY"),
                                  TextStyle::sectionHeader, std::nullopt));
    if (snapshot.canPost) {
        entries.push_back(information(MenuEntryRole::inputState, strings.text("menu.input_allowed", "Input Allowed"),
                                      TextStyle::plain, icon(Symbol::inputAllowed, 16)));
    } else {
        entries.push_back(information(MenuEntryRole::inputState, inputNotPossibleText(snapshot.obstacle, strings),
                                      TextStyle::plain, icon(Symbol::inputBlocked, 16)));
        entries.push_back(actionEntry(MenuEntryRole::inputHelp, strings.text("menu.input_help", "Input Help…"),
                                      icon(Symbol::help, 14), MenuAction::showInputHelp, ""));
    }
    entries.push_back(separator());

    entries.push_back(information(MenuEntryRole::networkNote,
                                  strings.text("menu.network_note", "The phone must be on the same network"),
                                  TextStyle::note, icon(Symbol::network, 14)));
    entries.push_back(separator());

    {
        MenuEntry entry = actionEntry(MenuEntryRole::launchAtLogin, std::string(launchAtLoginTitle),
                                      icon(Symbol::launchAtLogin, 14), MenuAction::toggleLaunchAtLogin, "");
        entry.checkable = true;
        entry.checked = snapshot.autostart == AutostartState::enabled;
        entries.push_back(std::move(entry));
    }
    entries.push_back(separator());

    entries.push_back(actionEntry(MenuEntryRole::quit, strings.text("menu.quit", "Quit"), icon(Symbol::quit, 14),
                                  MenuAction::quit, "q"));
    return entries;
}

} // namespace vemdo
