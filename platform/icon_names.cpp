// SPDX-License-Identifier: MIT
#include "platform/icon_names.h"

#include <array>
#include <utility>

namespace vemdo {

namespace {

struct Mapping {
    std::string_view symbol;
    std::string_view themeName;
};

constexpr std::array<Mapping, 13> mappings{{
    {"key.fill", "dialog-password"},
    {"exclamationmark.triangle.fill", "dialog-warning"},
    {"arrow.triangle.2.circlepath", "view-refresh"},
    {"antenna.radiowaves.left.and.right", "network-wireless-hotspot"},
    {"antenna.radiowaves.left.and.right.slash", "network-wireless-offline"},
    {"iphone.gen3.slash", "network-cellular-offline"},
    {"iphone.gen3.radiowaves.left.and.right", "phone"},
    {"checkmark.shield.fill", "security-high"},
    {"exclamationmark.shield.fill", "security-low"},
    {"gear.badge", "preferences-system"},
    {"wifi.circle.fill", "network-wireless"},
    {"power.circle", "system-shutdown"},
    {"power.circle.fill", "application-exit"},
}};

} // namespace

std::vector<std::string> freedesktopIconNames(std::string_view symbolName) {
    for (const auto& mapping : mappings) {
        if (mapping.symbol == symbolName) {
            std::string name(mapping.themeName);
            return {name + "-symbolic", name};
        }
    }
    return {};
}

} // namespace vemdo
