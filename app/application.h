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

// What the application needs of the network server: the transport and the browser page. Main thread.
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

// The status menu, wherever it is shown: a tray icon's menu, a window, the terminal. Main thread.
class StatusMenuPresenter {
public:
    virtual ~StatusMenuPresenter() = default;
    // Puts up what the menu opens from (the tray icon, the window) with the program's icon. Called once,
    // before anything else.
    virtual void showIcon(const SymbolIcon& icon) = 0;
    // Chosen actions are reported here.
    virtual void setActionHandler(std::function<void(MenuAction)> handler) = 0;
    // Replaces every entry of the menu.
    virtual void showEntries(const std::vector<MenuEntry>& entries) = 0;
    // Closes the menu if it is open.
    virtual void closeMenu() = 0;
    // Whether a tray icon is on screen at which the menu can be opened.
    virtual bool hasTrayIcon() const = 0;
    // Opens the menu just under the tray icon.
    virtual void openMenuAtTrayIcon() = 0;
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
    virtual int ask(const AlertRequest& alert) = 0;
};

// Whether input can be posted, and where a user learns how to make it possible.
class InputAccess {
public:
    virtual ~InputAccess() = default;
    virtual bool canPost() = 0;
    // Asked once at start: a desktop that asks the user whether to allow remote control asks here, and the
    // answer may come later.
    virtual bool askAtStart() = 0;
    // What stands in the way while input is not possible; decides what the menu and the alert say.
    virtual InputObstacle obstacle() { return InputObstacle::none; }
    // Shows the user how to make input possible.
    virtual void showInputHelp() = 0;
};

struct AutostartChange {
    bool succeeded = false;
    std::string errorDescription;
};

// The entry that starts the program when the user logs in.
class AutostartEntry {
public:
    virtual ~AutostartEntry() = default;
    virtual AutostartState state() = 0;
    virtual AutostartChange enable() = 0;
    virtual AutostartChange disable() = 0;
};

// Start-up, the status menu and its actions. Main thread only; every delayed step goes through the main
// queue, so tests drive it with a manual queue.
class Application {
public:
    struct Dependencies {
        TransportFacade& transport;
        StatusMenuPresenter& menu;
        AlertPresenter& alerts;
        InputAccess& input;
        AutostartEntry& autostart;
        TaskQueue& mainQueue;
        const StringTable& strings;
        std::function<void()> terminate;
    };

    static constexpr std::chrono::milliseconds refreshInterval{2000};
    static constexpr std::chrono::milliseconds reopenDelay{100};
    static constexpr std::chrono::milliseconds inputAlertDelay{1000};

    explicit Application(Dependencies dependencies);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Once, from the event loop: shows the menu, asks for input and starts the server. Later calls do nothing.
    void start();
    void updateMenu();

    // Menu actions.
    void refreshPairingCode();
    void connectWithBrowser();
    void showInputHelp();
    void toggleLaunchAtLogin();
    void quit();
    void perform(MenuAction action);

private:
    void scheduleRefresh();
    // The question asked at start; when input is not possible, the alert follows after inputAlertDelay.
    void askForInput();
    void showInputAlert();

    Dependencies m_deps;
    bool m_started = false;
    // What stood in the way when input was asked for at start: the alert's reason when the user has since
    // allowed input (a desktop that asks may answer within the alert's delay).
    InputObstacle m_startObstacle = InputObstacle::none;
    // Delayed tasks hold this weakly and do nothing once the application is gone.
    std::shared_ptr<Application*> m_self;
};

} // namespace vemdo
