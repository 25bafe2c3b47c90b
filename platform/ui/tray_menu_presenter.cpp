// SPDX-License-Identifier: MIT
#include "platform/ui/tray_menu_presenter.h"

#include "platform/ui/menu_widgets.h"

#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidgetAction>

namespace vemdo {

TrayMenuPresenter::TrayMenuPresenter() : m_menu(std::make_unique<QMenu>()) {}

TrayMenuPresenter::~TrayMenuPresenter() = default;

void TrayMenuPresenter::showIcon(const SymbolIcon& icon) {
    m_tray = std::make_unique<QSystemTrayIcon>(symbolIcon(icon));
    m_tray->setToolTip(toQString(icon.accessibleName));
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
                QString text = toQString(entry.runs[static_cast<std::size_t>(r)].text);
                if (text.endsWith(QLatin1Char('\n')))
                    text.chop(1);
                labels[r]->setText(text);
                fitGlyphs(labels[r]);
            }
            widgetAction->defaultWidget()->setAccessibleName(toQString(entry.plainText));
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

void TrayMenuPresenter::closeMenu() {
    m_menu->hide();
}

bool TrayMenuPresenter::hasTrayIcon() const {
    return m_tray && m_tray->isVisible() && !m_tray->geometry().isEmpty();
}

void TrayMenuPresenter::openMenuAtTrayIcon() {
    if (!hasTrayIcon())
        return;
    const QRect button = m_tray->geometry();
    m_menu->popup(QPoint(button.left(), button.top() + button.height() + 5));
}

} // namespace vemdo
