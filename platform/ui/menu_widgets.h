// SPDX-License-Identifier: MIT
#pragma once

// The Qt pieces the tray menu and the window draw the menu's entries with.

#include "app/menu_model.h"

#include <QIcon>
#include <QKeySequence>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QFont;
class QLabel;
class QMenu;
class QPalette;
class QWidget;

namespace vemdo {

QString toQString(const std::string& text);
// The text of an action or button, where '&' would otherwise mark a mnemonic.
QString actionText(const std::string& text);
// Control and the entry's shortcut key; empty for none.
QKeySequence keySequence(const std::string& shortcutKey);

// Picks an installed icon theme when the desktop named none (bare X servers, minimal sessions), so that
// the menu's symbols can be found.
void prepareIconTheme();

// The icon for a menu symbol: the program's own SVG for its own icon, the theme's icon for the others; a
// null icon when there is none.
QIcon symbolIcon(const SymbolIcon& symbol);
// The entry's icon, marked when the entry is checked.
QIcon entryIcon(const MenuEntry& entry);

// An entry drawn with its own fonts and colours: the icon, then the title run by run.
QWidget* styledEntryWidget(const MenuEntry& entry, const QFont& base, const QPalette& palette, QWidget* parent);
// Makes room in a label for glyphs that reach beyond its font's ascent or descent.
void fitGlyphs(QLabel* label);

// Fills `menu` with the entries. Styled entries are drawn by widgets with their own fonts and colours and
// also carry their plain text, which D-Bus menu hosts show instead.
void fillMenu(QMenu& menu, const std::vector<MenuEntry>& entries, const std::function<void(MenuAction)>& handler);

} // namespace vemdo
