// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// The freedesktop icon-theme names that stand for a menu symbol, best first (symbolic variants, which
// follow the text colour like the original template images, before full-colour ones). Empty for a symbol
// with no counterpart; the entry then has no icon.
std::vector<std::string> freedesktopIconNames(std::string_view symbolName);

// The symbol the status item shows; drawn from the program's own SVG, not from the theme.
inline constexpr std::string_view trayIconName = "vemdo-trackpad";

} // namespace vemdo
