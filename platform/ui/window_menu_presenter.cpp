// SPDX-License-Identifier: MIT
#include "platform/ui/window_menu_presenter.h"

#include "platform/ui/menu_widgets.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFrame>
#include <QPushButton>
#include <QVBoxLayout>

namespace vemdo {

WindowMenuPresenter::WindowMenuPresenter() : m_window(std::make_unique<QWidget>()) {
    m_window->setWindowTitle(QStringLiteral("Vemdo Trackpad"));
    auto* layout = new QVBoxLayout(m_window.get());
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

WindowMenuPresenter::~WindowMenuPresenter() = default;

void WindowMenuPresenter::showIcon(const SymbolIcon& icon) {
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
            push->setShortcut(keySequence(entry.shortcutKey));
            button = push;
        }
        if (entry.icon) {
            const QIcon icon = symbolIcon(*entry.icon);
            if (!icon.isNull())
                button->setIcon(icon);
            if (!entry.icon->accessibleName.empty())
                button->setToolTip(toQString(entry.icon->accessibleName));
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

} // namespace vemdo
