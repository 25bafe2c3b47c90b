// SPDX-License-Identifier: MIT
#include "platform/ui/menu_widgets.h"

#include "platform/host/paths.h"
#include "platform/ui/icon_names.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <cmath>

namespace vemdo {

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

// Action texts treat '&' as a mnemonic marker.
QString actionText(const std::string& text) {
    QString result = toQString(text);
    result.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return result;
}

namespace {

QFont::Weight qtWeight(FontWeight weight) {
    switch (weight) {
    case FontWeight::medium:
        return QFont::Medium;
    case FontWeight::semibold:
        return QFont::DemiBold;
    case FontWeight::bold:
        return QFont::Bold;
    case FontWeight::regular:
        break;
    }
    return QFont::Normal;
}

QColor textColor(TextColor color, const QPalette& palette) {
    QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    switch (color) {
    case TextColor::normal:
        return text;
    case TextColor::secondary:
        text.setAlphaF(0.62f);
        return text;
    case TextColor::faint:
        text.setAlphaF(0.42f);
        return text;
    case TextColor::accent:
        // QPalette::Accent needs Qt 6.6; Highlight is the accent on older versions and most themes.
        return palette.color(QPalette::Active, QPalette::Highlight);
    }
    return text;
}

// Sizes in the model are in points of a 1x screen, where one point is one device-independent pixel.
QFont styledFont(const TextStyleSpec& look, const QFont& base) {
    QFont font = look.monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : base;
    if (look.pointSize > 0)
        font.setPixelSize(static_cast<int>(std::lround(look.pointSize)));
    font.setWeight(qtWeight(look.weight));
    if (look.kerning != 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, look.kerning);
    return font;
}

} // namespace

QKeySequence keySequence(const std::string& shortcutKey) {
    if (shortcutKey.empty())
        return {};
    return QKeySequence(QStringLiteral("Ctrl+") + toQString(shortcutKey).toUpper());
}

namespace {

QLabel* iconLabel(const SymbolIcon& symbol, QWidget* parent) {
    const QIcon icon = symbolIcon(symbol);
    if (icon.isNull())
        return nullptr;
    auto* label = new QLabel(parent);
    const int size = static_cast<int>(std::lround(symbol.pointSize));
    label->setPixmap(icon.pixmap(QSize(size, size)));
    label->setFixedSize(std::max(size, 16), std::max(size, 16));
    label->setAlignment(Qt::AlignCenter);
    if (!symbol.accessibleName.empty())
        label->setAccessibleName(toQString(symbol.accessibleName));
    return label;
}

} // namespace

// A small font's ascent can be lower than its accented capitals (at 10 pixels, the dots of Ü and İ stand
// two pixels above it), and a label paints nothing outside itself: room is made for what the glyphs need.
void fitGlyphs(QLabel* label) {
    const QFontMetrics metrics(label->font());
    const QRect ink = metrics.tightBoundingRect(label->text() + QStringLiteral("ÅÜİÇĞgjpqy"));
    const int above = std::max(0, -ink.top() - metrics.ascent());
    const int below = std::max(0, ink.bottom() - metrics.descent());
    label->setContentsMargins(0, above, 0, below);
}

namespace {

// The title of an entry drawn run by run; a run ending in a line feed ends its line.
QWidget* titleWidget(const MenuEntry& entry, const QFont& base, const QPalette& palette, QWidget* parent) {
    auto* title = new QWidget(parent);
    auto* lines = new QVBoxLayout(title);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(0);
    QHBoxLayout* line = nullptr;
    for (const auto& run : entry.runs) {
        std::string text = run.text;
        const bool endsLine = !text.empty() && text.back() == '\n';
        if (endsLine)
            text.pop_back();
        if (!line) {
            line = new QHBoxLayout();
            line->setSpacing(0);
            lines->addLayout(line);
        }
        const TextStyleSpec look = textStyleSpec(run.style);
        auto* label = new QLabel(toQString(text), title);
        label->setObjectName(QStringLiteral("run"));
        label->setTextFormat(Qt::PlainText);
        label->setFont(styledFont(look, base));
        fitGlyphs(label);
        QPalette runPalette = palette;
        runPalette.setColor(QPalette::WindowText, textColor(look.color, palette));
        label->setPalette(runPalette);
        line->addWidget(label);
        if (endsLine) {
            line->addStretch(1);
            line = nullptr;
        }
    }
    if (line)
        line->addStretch(1);
    return title;
}

} // namespace

QWidget* styledEntryWidget(const MenuEntry& entry, const QFont& base, const QPalette& palette, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    // Roughly where a menu item's icon and text columns begin, so styled lines line up with plain ones.
    layout->setContentsMargins(6, 4, 14, 4);
    layout->setSpacing(8);
    QLabel* icon = entry.icon ? iconLabel(*entry.icon, row) : nullptr;
    if (icon)
        layout->addWidget(icon, 0, Qt::AlignVCenter);
    else
        layout->addSpacing(22); // the width of the icon column of plain entries
    layout->addWidget(titleWidget(entry, base, palette, row), 1);
    row->setAccessibleName(toQString(entry.plainText));
    return row;
}

namespace {

// Menus draw a checked entry that has an icon as a framed icon, which is easy to miss; a check mark laid
// over the icon's corner makes the state plain.
QIcon checkedIcon(const QIcon& icon) {
    if (icon.isNull())
        return icon;
    QIcon result;
    for (int size : {16, 22, 24, 32, 48}) {
        QPixmap pixmap = icon.pixmap(QSize(size, size));
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal badge = size * 0.62;
        const QRectF corner(size - badge, size - badge, badge, badge);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QApplication::palette().color(QPalette::Active, QPalette::Highlight));
        painter.drawEllipse(corner);
        QPen pen(Qt::white, std::max(1.5, badge / 6));
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        painter.setPen(pen);
        const QPointF points[] = {corner.topLeft() + QPointF(badge * 0.27, badge * 0.52),
                                  corner.topLeft() + QPointF(badge * 0.44, badge * 0.70),
                                  corner.topLeft() + QPointF(badge * 0.74, badge * 0.32)};
        painter.drawPolyline(points, 3);
        painter.end();
        result.addPixmap(pixmap);
    }
    return result;
}

} // namespace

QIcon entryIcon(const MenuEntry& entry) {
    if (!entry.icon)
        return {};
    const QIcon icon = symbolIcon(*entry.icon);
    return entry.checkable && entry.checked ? checkedIcon(icon) : icon;
}

namespace {

// Handlers may rebuild the menu, which deletes the action that is still emitting; running them from the
// event loop keeps that safe.
void connectAction(QAction* action, QObject* context, const std::function<void(MenuAction)>& handler,
                   MenuAction which) {
    if (!handler || which == MenuAction::none)
        return;
    QObject::connect(
        action, &QAction::triggered, context, [handler, which] { handler(which); }, Qt::QueuedConnection);
}

} // namespace

void prepareIconTheme() {
    const QString current = QIcon::themeName();
    if (!current.isEmpty() && current != QStringLiteral("hicolor"))
        return;
    for (const auto& theme : {QStringLiteral("Adwaita"), QStringLiteral("breeze"), QStringLiteral("gnome")}) {
        for (const auto& root : QIcon::themeSearchPaths()) {
            if (QFileInfo::exists(root + QLatin1Char('/') + theme + QStringLiteral("/index.theme"))) {
                QIcon::setThemeName(theme);
                return;
            }
        }
    }
}

QIcon symbolIcon(const SymbolIcon& symbol) {
    if (symbol.symbol == Symbol::program) {
        const auto file = platform::resourceDirectory() / "icons" / "vemdo-trackpad.svg";
        QIcon icon(QString::fromStdString(file.string()));
        if (!icon.availableSizes().isEmpty() || !icon.pixmap(QSize(16, 16)).isNull())
            return icon;
        return QIcon::fromTheme(QString::fromLatin1(trayIconName.data(), static_cast<int>(trayIconName.size())));
    }
    for (const auto& name : iconThemeNames(symbol.symbol)) {
        QIcon icon = QIcon::fromTheme(toQString(name));
        if (!icon.isNull())
            return icon;
    }
    return {};
}

void fillMenu(QMenu& menu, const std::vector<MenuEntry>& entries, const std::function<void(MenuAction)>& handler) {
    menu.clear();
    for (const auto& entry : entries) {
        if (entry.kind == MenuEntryKind::separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = nullptr;
        if (entry.isStyled()) {
            auto* widgetAction = new QWidgetAction(&menu);
            widgetAction->setDefaultWidget(styledEntryWidget(entry, menu.font(), menu.palette(), nullptr));
            action = widgetAction;
        } else {
            action = new QAction(&menu);
        }
        // Hosts that cannot show the widget (D-Bus menus) show this text and icon instead.
        action->setText(actionText(entry.plainText));
        if (entry.icon) {
            const QIcon icon = entryIcon(entry);
            if (!icon.isNull())
                action->setIcon(icon);
            if (!entry.icon->accessibleName.empty())
                action->setToolTip(toQString(entry.icon->accessibleName));
        }
        action->setEnabled(entry.enabled);
        if (entry.checkable) {
            action->setCheckable(true);
            action->setChecked(entry.checked);
        }
        if (!entry.shortcutKey.empty()) {
            action->setShortcut(keySequence(entry.shortcutKey));
            action->setShortcutVisibleInContextMenu(true);
        }
        connectAction(action, &menu, handler, entry.action);
        menu.addAction(action);
    }
}

} // namespace vemdo
