// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"
#include "platform/ui/browser_link_window.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class QMenu;
class QSystemTrayIcon;

namespace vemdo {

// The status menu as a tray icon with a Qt menu.
class TrayMenuPresenter final : public QObject, public StatusMenuPresenter {
public:
    TrayMenuPresenter();
    ~TrayMenuPresenter() override;

    void showIcon(const SymbolIcon& icon) override;
    void setActionHandler(std::function<void(MenuAction)> handler) override;
    void showEntries(const std::vector<MenuEntry>& entries) override;
    void closeMenu() override;
    bool hasTrayIcon() const override;
    void openMenuAtTrayIcon() override;
    void setBrowserLink(const std::optional<BrowserLink>& link) override { m_browser.setLink(link); }
    void showBrowserLink() override { m_browser.show(); }

private:
    BrowserLinkWindow m_browser;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::function<void(MenuAction)> m_handler;
    std::vector<MenuEntry> m_shown;
    bool m_filled = false;
};

} // namespace vemdo
