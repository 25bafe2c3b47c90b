// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"
#include "platform/ui/browser_link_window.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace vemdo {

// Where no tray exists: the same entries, live, in a small window.
class WindowMenuPresenter final : public QObject, public StatusMenuPresenter {
public:
    WindowMenuPresenter();
    ~WindowMenuPresenter() override;

    void showIcon(const SymbolIcon& icon) override;
    void setActionHandler(std::function<void(MenuAction)> handler) override;
    void showEntries(const std::vector<MenuEntry>& entries) override;
    void closeMenu() override {}
    bool hasTrayIcon() const override { return false; }
    void openMenuAtTrayIcon() override {}
    void setBrowserLink(const std::optional<BrowserLink>& link) override { m_browser.setLink(link); }
    void showBrowserLink() override { m_browser.show(); }

private:
    BrowserLinkWindow m_browser;
    std::unique_ptr<QWidget> m_window;
    QPointer<QWidget> m_content;
    std::vector<MenuEntry> m_shown;
    std::function<void(MenuAction)> m_handler;
};

} // namespace vemdo
