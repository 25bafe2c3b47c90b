// SPDX-License-Identifier: MIT
#include "platform/qt_ui_menu.h"

#include "platform/icon_names.h"
#include "platform/resource_paths.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidgetAction>

#include <cmath>
#include <iostream>

namespace vemdo {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// Action texts treat '&' as a mnemonic marker.
QString actionText(const std::string& text) {
    QString result = qs(text);
    result.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return result;
}

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

QColor semanticColor(SemanticColor color, const QPalette& palette) {
    QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    switch (color) {
    case SemanticColor::label:
        return text;
    case SemanticColor::secondaryLabel:
        text.setAlphaF(0.62f);
        return text;
    case SemanticColor::tertiaryLabel:
        text.setAlphaF(0.42f);
        return text;
    case SemanticColor::controlAccent:
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

QKeySequence keySequence(const std::string& keyEquivalent) {
    if (keyEquivalent.empty())
        return {};
    // The command modifier of the original is Control here.
    return QKeySequence(QStringLiteral("Ctrl+") + qs(keyEquivalent).toUpper());
}

QLabel* iconLabel(const SymbolIcon& symbol, QWidget* parent) {
    const QIcon icon = symbolIcon(symbol);
    if (icon.isNull())
        return nullptr;
    auto* label = new QLabel(parent);
    const int size = static_cast<int>(std::lround(symbol.pointSize));
    label->setPixmap(icon.pixmap(QSize(size, size)));
    label->setFixedSize(std::max(size, 16), std::max(size, 16));
    label->setAlignment(Qt::AlignCenter);
    if (!symbol.accessibilityDescription.empty())
        label->setAccessibleName(qs(symbol.accessibilityDescription));
    return label;
}

// A small font's ascent can be lower than its accented capitals (at 10 pixels, the dots of Ü and İ stand
// two pixels above it), and a label paints nothing outside itself: room is made for what the glyphs need.
void fitGlyphs(QLabel* label) {
    const QFontMetrics metrics(label->font());
    const QRect ink = metrics.tightBoundingRect(label->text() + QStringLiteral("ÅÜİÇĞgjpqy"));
    const int above = std::max(0, -ink.top() - metrics.ascent());
    const int below = std::max(0, ink.bottom() - metrics.descent());
    label->setContentsMargins(0, above, 0, below);
}

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
        auto* label = new QLabel(qs(text), title);
        label->setObjectName(QStringLiteral("run"));
        label->setTextFormat(Qt::PlainText);
        label->setFont(styledFont(look, base));
        fitGlyphs(label);
        QPalette runPalette = palette;
        runPalette.setColor(QPalette::WindowText, semanticColor(look.color, palette));
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
    row->setAccessibleName(qs(entry.plainText));
    return row;
}

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

QIcon entryIcon(const MenuEntry& entry) {
    if (!entry.icon)
        return {};
    const QIcon icon = symbolIcon(*entry.icon);
    return entry.checkable && entry.checked ? checkedIcon(icon) : icon;
}

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
    if (symbol.name == statusItemIcon().name) {
        const auto file = platform::resourceDirectory() / "icons" / "vemdo-trackpad.svg";
        QIcon icon(QString::fromStdString(file.string()));
        if (!icon.availableSizes().isEmpty() || !icon.pixmap(QSize(16, 16)).isNull())
            return icon;
        return QIcon::fromTheme(QString::fromLatin1(trayIconName.data(), static_cast<int>(trayIconName.size())));
    }
    for (const auto& name : freedesktopIconNames(symbol.name)) {
        QIcon icon = QIcon::fromTheme(qs(name));
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
            if (!entry.icon->accessibilityDescription.empty())
                action->setToolTip(qs(entry.icon->accessibilityDescription));
        }
        action->setEnabled(entry.enabled);
        if (entry.checkable) {
            action->setCheckable(true);
            action->setChecked(entry.checked);
        }
        if (!entry.keyEquivalent.empty()) {
            action->setShortcut(keySequence(entry.keyEquivalent));
            action->setShortcutVisibleInContextMenu(true);
        }
        connectAction(action, &menu, handler, entry.action);
        menu.addAction(action);
    }
}

TrayMenuPresenter::TrayMenuPresenter() : m_menu(std::make_unique<QMenu>()) {}

TrayMenuPresenter::~TrayMenuPresenter() = default;

void TrayMenuPresenter::createStatusItem(const SymbolIcon& icon) {
    m_tray = std::make_unique<QSystemTrayIcon>(symbolIcon(icon));
    m_tray->setToolTip(qs(icon.accessibilityDescription));
    m_tray->setContextMenu(m_menu.get());
    // XEmbed trays open the context menu only on a right click; a left click opens it too, as designed.
    connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !m_menu->isVisible())
            m_menu->popup(QCursor::pos());
    });
    m_tray->show();
}

void TrayMenuPresenter::setActionHandler(std::function<void(MenuAction)> handler) {
    m_handler = std::move(handler);
}

namespace {

// Whether `next` differs from `shown` only in what an entry says and shows, not in which entries there are.
bool sameShape(const std::vector<MenuEntry>& next, const std::vector<MenuEntry>& shown) {
    if (next.size() != shown.size())
        return false;
    for (std::size_t i = 0; i < next.size(); ++i) {
        const MenuEntry& a = next[i];
        const MenuEntry& b = shown[i];
        if (a.kind != b.kind || a.role != b.role || a.isStyled() != b.isStyled() || a.runs.size() != b.runs.size() ||
            a.action != b.action || a.checkable != b.checkable || a.icon.has_value() != b.icon.has_value())
            return false;
    }
    return true;
}

void updateInPlace(QMenu& menu, const std::vector<MenuEntry>& entries) {
    const QList<QAction*> actions = menu.actions();
    for (qsizetype i = 0; i < actions.size() && i < static_cast<qsizetype>(entries.size()); ++i) {
        const MenuEntry& entry = entries[static_cast<std::size_t>(i)];
        QAction* action = actions[i];
        if (entry.kind == MenuEntryKind::separator)
            continue;
        action->setText(actionText(entry.plainText));
        if (entry.icon)
            action->setIcon(entryIcon(entry));
        action->setEnabled(entry.enabled);
        action->setChecked(entry.checked);
        if (auto* widgetAction = qobject_cast<QWidgetAction*>(action)) {
            const auto labels = widgetAction->defaultWidget()->findChildren<QLabel*>(QStringLiteral("run"),
                                                                                     Qt::FindChildrenRecursively);
            for (qsizetype r = 0; r < labels.size() && r < static_cast<qsizetype>(entry.runs.size()); ++r) {
                QString text = qs(entry.runs[static_cast<std::size_t>(r)].text);
                if (text.endsWith(QLatin1Char('\n')))
                    text.chop(1);
                labels[r]->setText(text);
                fitGlyphs(labels[r]);
            }
            widgetAction->defaultWidget()->setAccessibleName(qs(entry.plainText));
        }
    }
}

} // namespace

void TrayMenuPresenter::showEntries(const std::vector<MenuEntry>& entries) {
    if (m_filled && entries == m_shown)
        return;
    // Refilling an open menu closes it; when only texts, icons or states change, it is updated where it
    // stands, so the user keeps looking at it.
    if (m_filled && m_menu->isVisible() && sameShape(entries, m_shown))
        updateInPlace(*m_menu, entries);
    else
        fillMenu(*m_menu, entries, m_handler);
    m_shown = entries;
    m_filled = true;
}

void TrayMenuPresenter::cancelTracking() {
    m_menu->hide();
}

bool TrayMenuPresenter::hasStatusButton() const {
    return m_tray && m_tray->isVisible() && !m_tray->geometry().isEmpty();
}

void TrayMenuPresenter::popUpAtStatusItem() {
    if (!hasStatusButton())
        return;
    const QRect button = m_tray->geometry();
    m_menu->popup(QPoint(button.left(), button.top() + button.height() + 5));
}

WindowMenuPresenter::WindowMenuPresenter() : m_window(std::make_unique<QWidget>()) {
    m_window->setWindowTitle(QStringLiteral("Vemdo Trackpad"));
    auto* layout = new QVBoxLayout(m_window.get());
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

WindowMenuPresenter::~WindowMenuPresenter() = default;

void WindowMenuPresenter::createStatusItem(const SymbolIcon& icon) {
    m_window->setWindowIcon(symbolIcon(icon));
    m_window->show();
}

void WindowMenuPresenter::setActionHandler(std::function<void(MenuAction)> handler) {
    m_handler = std::move(handler);
}

void WindowMenuPresenter::showEntries(const std::vector<MenuEntry>& entries) {
    // Unlike a closed menu, the window is always on screen: rebuilding identical contents would only
    // make it flicker and lose keyboard focus.
    if (m_content && entries == m_shown)
        return;
    m_shown = entries;
    delete m_content;
    m_content = new QWidget(m_window.get());
    auto* layout = new QVBoxLayout(m_content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    const QFont base = m_window->font();
    const QPalette palette = m_window->palette();
    for (const auto& entry : entries) {
        if (entry.kind == MenuEntryKind::separator) {
            auto* line = new QFrame(m_content);
            line->setFrameShape(QFrame::HLine);
            line->setFrameShadow(QFrame::Sunken);
            layout->addWidget(line);
            continue;
        }
        if (entry.kind == MenuEntryKind::information) {
            layout->addWidget(styledEntryWidget(entry, base, palette, m_content));
            continue;
        }
        QAbstractButton* button = nullptr;
        if (entry.checkable) {
            auto* box = new QCheckBox(actionText(entry.plainText), m_content);
            box->setChecked(entry.checked);
            button = box;
        } else {
            auto* push = new QPushButton(actionText(entry.plainText), m_content);
            push->setShortcut(keySequence(entry.keyEquivalent));
            button = push;
        }
        if (entry.icon) {
            const QIcon icon = symbolIcon(*entry.icon);
            if (!icon.isNull())
                button->setIcon(icon);
            if (!entry.icon->accessibilityDescription.empty())
                button->setToolTip(qs(entry.icon->accessibilityDescription));
        }
        button->setEnabled(entry.enabled);
        if (m_handler && entry.action != MenuAction::none) {
            const auto handler = m_handler;
            const MenuAction which = entry.action;
            // A check box must show the state the system reports, not the click: the rebuild sets it.
            if (entry.checkable)
                connect(button, &QAbstractButton::clicked, button,
                        [box = button, checked = entry.checked] { box->setChecked(checked); });
            connect(
                button, &QAbstractButton::clicked, m_content, [handler, which] { handler(which); },
                Qt::QueuedConnection);
        }
        layout->addWidget(button);
    }
    m_window->layout()->addWidget(m_content);
}

int QtAlertPresenter::runModal(const AlertRequest& alert) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Vemdo Trackpad"));
    box.setText(qs(alert.messageText));
    box.setInformativeText(qs(alert.informativeText));
    std::vector<QAbstractButton*> buttons;
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        buttons.push_back(
            box.addButton(qs(alert.buttons[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    if (!buttons.empty())
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i])
            return static_cast<int>(i);
    }
    return -1;
}

InputPermission::InputPermission(std::function<bool()> trusted, bool desktop, std::function<InputObstacle()> obstacle,
                                 std::function<bool()> prompt)
    : m_trusted(std::move(trusted)), m_desktop(desktop), m_obstacle(std::move(obstacle)), m_prompt(std::move(prompt)) {}

std::filesystem::path InputPermission::helpPage() {
    const auto resources = platform::resourceDirectory();
    if (resources.empty())
        return {};
    return resources / "help" / "input.html";
}

void InputPermission::openAccessibilitySettings() {
    const auto page = helpPage();
    if (page.empty()) {
        std::cerr << "vemdo-trackpad: the help page is not installed\n";
        return;
    }
    if (m_desktop && QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(page.string()))))
        return;
    std::cerr << "How to make input possible: " << page.string() << '\n';
}

} // namespace vemdo
