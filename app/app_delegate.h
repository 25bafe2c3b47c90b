// SPDX-License-Identifier: MIT
#pragma once

#include "app/browser_link.h"
#include "app/menu_model.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemdo {

class StringTable;
class TaskQueue;

// What the application needs of the network server. The real one forwards to Transport::shared(), so the
// transport comes into being at the first call.
class TransportFacade {
public:
    virtual ~TransportFacade() = default;
    virtual bool isListening() = 0;
    virtual int connectedClients() = 0;
    virtual std::optional<std::string> currentPairingCode() = 0;
    virtual bool pairingStopped() = 0;
    // The store could not be read or written at the last try: pairings are not being kept.
    virtual bool settingsUnsaved() { return false; }
    virtual void start() = 0;
    virtual void regeneratePairingCode() = 0;
    // The browser page's port while it is served; nothing when it is off or could not listen.
    virtual std::optional<std::uint16_t> webPort() { return std::nullopt; }
    // This computer's addresses as text, for the link a phone's browser opens.
    virtual std::vector<std::string> localAddresses() { return {}; }
    virtual std::string hostName() { return {}; }
};

// The status item and its menu, or whatever stands in for them (a window, the terminal). Main thread.
class StatusMenuPresenter {
public:
    virtual ~StatusMenuPresenter() = default;
    // Creates the status item carrying the given symbol. Called once, before anything else.
    virtual void createStatusItem(const SymbolIcon& icon) = 0;
    // Chosen actions are reported here.
    virtual void setActionHandler(std::function<void(MenuAction)> handler) = 0;
    // Replaces every entry of the menu.
    virtual void showEntries(const std::vector<MenuEntry>& entries) = 0;
    // Closes the menu if it is open.
    virtual void cancelTracking() = 0;
    // Whether there is a status item on screen at which the menu can be opened.
    virtual bool hasStatusButton() const = 0;
    // Opens the menu just under the status item.
    virtual void popUpAtStatusItem() = 0;
    // The browser link as it is now, at every rebuild (nothing while the page is not served). Where the
    // link is on show it follows; a terminal prints it whenever it changes. Others may ignore it.
    virtual void setBrowserLink(const std::optional<BrowserLink>& link) { (void)link; }
    // Shows the last link set, with its QR code.
    virtual void showBrowserLink() {}
};

struct AlertRequest {
    std::string messageText;
    std::string informativeText;
    // Buttons in the order they were added; the first is the default.
    std::vector<std::string> buttons;
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Shows a modal warning and returns when it is dismissed: the index of the chosen button, or -1 when
    // it was closed without one.
    virtual int runModal(const AlertRequest& alert) = 0;
};

// Whether this process may post input events.
class PermissionQuery {
public:
    virtual ~PermissionQuery() = default;
    virtual bool isTrusted() = 0;
    // The launch-time question; a platform with a prompt of its own shows it here.
    virtual bool isTrustedWithPrompt() = 0;
    // What stands in the way while not trusted; decides what the menu and the alert tell the user.
    virtual InputObstacle obstacle() { return InputObstacle::none; }
    // Shows the user how to make input possible.
    virtual void openAccessibilitySettings() = 0;
};

struct LoginItemChange {
    bool succeeded = false;
    std::string errorDescription;
};

// The application's registration as a program started at login.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() = 0;
    virtual LoginItemChange registerItem() = 0;
    virtual LoginItemChange unregisterItem() = 0;
};

// Start-up, the status menu and its actions. Main thread only; every delayed step goes through the main
// queue, so tests drive it with a manual queue.
class AppDelegate {
public:
    struct Dependencies {
        TransportFacade& transport;
        StatusMenuPresenter& menu;
        AlertPresenter& alerts;
        PermissionQuery& permission;
        LoginItemService& loginItem;
        TaskQueue& mainQueue;
        const StringTable& strings;
        std::function<void()> terminate;
    };

    static constexpr std::chrono::milliseconds refreshInterval{2000};
    static constexpr std::chrono::milliseconds reopenDelay{100};
    static constexpr std::chrono::milliseconds accessibilityAlertDelay{1000};

    explicit AppDelegate(Dependencies dependencies);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching();
    void setupMenuBar();
    void updateMenu();

    // Menu actions.
    void refreshPairingCode();
    void connectWithBrowser();
    void openAccessibilitySettings();
    void toggleLaunchAtLogin();
    void quit();

    void checkAccessibilityPermission();
    void showAccessibilityAlert();

    void perform(MenuAction action);

private:
    void scheduleRefresh();

    Dependencies m_deps;
    bool m_statusItemCreated = false;
    // What stood in the way at the launch-time question: the alert's reason when the user has since
    // allowed input (a desktop that asks may answer within the alert's delay).
    InputObstacle m_launchObstacle = InputObstacle::none;
    // Delayed tasks hold this weakly and do nothing once the delegate is gone.
    std::shared_ptr<AppDelegate*> m_self;
};

} // namespace vemdo
