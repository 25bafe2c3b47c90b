// SPDX-License-Identifier: MIT
#pragma once

#include "app/app_delegate.h"
#include "platform/qt_browser_window.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class QMenu;
class QSystemTrayIcon;
class QWidget;
class QVBoxLayout;

namespace vemdo {

// Picks an installed icon theme when the desktop named none (bare X servers, minimal sessions), so that
// the menu's symbols can be found.
void prepareIconTheme();

// The icon for a menu symbol: the program's own SVG for the status item's symbol, the theme's icon for
// the others; a null icon when there is none.
QIcon symbolIcon(const SymbolIcon& symbol);

// Fills `menu` with the entries. Styled entries are drawn by widgets with their own fonts and colours and
// also carry their plain text, which D-Bus menu hosts show instead.
void fillMenu(QMenu& menu, const std::vector<MenuEntry>& entries, const std::function<void(MenuAction)>& handler);

// The status item as a tray icon with a Qt menu.
class TrayMenuPresenter final : public QObject, public StatusMenuPresenter {
    Q_OBJECT
public:
    TrayMenuPresenter();
    ~TrayMenuPresenter() override;

    void createStatusItem(const SymbolIcon& icon) override;
    void setActionHandler(std::function<void(MenuAction)> handler) override;
    void showEntries(const std::vector<MenuEntry>& entries) override;
    void cancelTracking() override;
    bool hasStatusButton() const override;
    void popUpAtStatusItem() override;
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

// Where no tray exists: the same entries, live, in a small window.
class WindowMenuPresenter final : public QObject, public StatusMenuPresenter {
    Q_OBJECT
public:
    WindowMenuPresenter();
    ~WindowMenuPresenter() override;

    void createStatusItem(const SymbolIcon& icon) override;
    void setActionHandler(std::function<void(MenuAction)> handler) override;
    void showEntries(const std::vector<MenuEntry>& entries) override;
    void cancelTracking() override {}
    bool hasStatusButton() const override { return false; }
    void popUpAtStatusItem() override {}
    void setBrowserLink(const std::optional<BrowserLink>& link) override { m_browser.setLink(link); }
    void showBrowserLink() override { m_browser.show(); }

private:
    BrowserLinkWindow m_browser;
    std::unique_ptr<QWidget> m_window;
    QPointer<QWidget> m_content;
    std::vector<MenuEntry> m_shown;
    std::function<void(MenuAction)> m_handler;
};

class QtAlertPresenter final : public AlertPresenter {
public:
    int runModal(const AlertRequest& alert) override;
};

// Trust as the input backend reports it; the settings page is the help page shipped with the program,
// opened in the desktop's browser (or named on the terminal when there is no desktop).
class InputPermission final : public PermissionQuery {
public:
    // `prompt`, when given, answers the launch-time question (a desktop may ask the user there).
    InputPermission(std::function<bool()> trusted, bool desktop, std::function<InputObstacle()> obstacle = {},
                    std::function<bool()> prompt = {});
    bool isTrusted() override { return m_trusted(); }
    bool isTrustedWithPrompt() override { return m_prompt ? m_prompt() : m_trusted(); }
    InputObstacle obstacle() override { return m_obstacle ? m_obstacle() : InputObstacle::none; }
    void openAccessibilitySettings() override;

    static std::filesystem::path helpPage();

private:
    std::function<bool()> m_trusted;
    bool m_desktop;
    std::function<InputObstacle()> m_obstacle;
    std::function<bool()> m_prompt;
};

} // namespace vemdo
