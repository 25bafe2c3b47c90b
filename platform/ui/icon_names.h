// SPDX-License-Identifier: MIT
#pragma once

#include "app/menu_model.h"

#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// The freedesktop icon-theme names that stand for a menu symbol, best first (symbolic variants, which follow
// the text colour, before full-colour ones). Empty for the program's own icon, which is drawn from the
// program's SVG.
std::vector<std::string> iconThemeNames(Symbol symbol);

// The program's icon in the theme, where its own SVG cannot be read.
inline constexpr std::string_view trayIconName = "vemdo-trackpad";

} // namespace vemdo
