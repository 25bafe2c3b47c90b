// SPDX-License-Identifier: MIT
#include "platform/ui/icon_names.h"

namespace vemdo {

namespace {

std::string_view themeName(Symbol symbol) {
    switch (symbol) {
    case Symbol::program:
        break;
    case Symbol::pairingCode:
        return "dialog-password";
    case Symbol::warning:
        return "dialog-warning";
    case Symbol::refresh:
        return "view-refresh";
    case Symbol::browser:
        return "web-browser";
    case Symbol::serverRunning:
        return "network-wireless-hotspot";
    case Symbol::serverStopped:
        return "network-wireless-offline";
    case Symbol::noDevice:
        return "network-cellular-offline";
    case Symbol::devices:
        return "phone";
    case Symbol::inputAllowed:
        return "security-high";
    case Symbol::inputBlocked:
        return "security-low";
    case Symbol::help:
        return "help-browser";
    case Symbol::network:
        return "network-wireless";
    case Symbol::launchAtLogin:
        return "system-shutdown";
    case Symbol::quit:
        return "application-exit";
    }
    return {};
}

} // namespace

std::vector<std::string> iconThemeNames(Symbol symbol) {
    const std::string name(themeName(symbol));
    if (name.empty())
        return {};
    return {name + "-symbolic", name};
}

} // namespace vemdo
