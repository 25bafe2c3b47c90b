// SPDX-License-Identifier: MIT
#include "app/app_delegate.h"

#include "transport/string_table.h"
#include "transport/task_queue.h"

#include <utility>

namespace vemdo {

AppDelegate::AppDelegate(Dependencies dependencies)
    : m_deps(std::move(dependencies)), m_self(std::make_shared<AppDelegate*>(this)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    setupMenuBar();
}

void AppDelegate::setupMenuBar() {
    if (m_statusItemCreated)
        return;
    m_statusItemCreated = true;
    m_deps.menu.createStatusItem(statusItemIcon());
    std::weak_ptr<AppDelegate*> weak = m_self;
    m_deps.menu.setActionHandler([weak](MenuAction action) {
        if (auto self = weak.lock())
            (*self)->perform(action);
    });
    updateMenu();
    scheduleRefresh();
    checkAccessibilityPermission();
    m_deps.transport.start();
}

void AppDelegate::scheduleRefresh() {
    // A repeating timer as a chain of delayed tasks: each firing rebuilds and arms the next one.
    std::weak_ptr<AppDelegate*> weak = m_self;
    m_deps.mainQueue.postDelayed(refreshInterval, [weak] {
        if (auto self = weak.lock()) {
            (*self)->updateMenu();
            (*self)->scheduleRefresh();
        }
    });
}

void AppDelegate::updateMenu() {
    MenuSnapshot snapshot;
    snapshot.listening = m_deps.transport.isListening();
    snapshot.clients = m_deps.transport.connectedClients();
    snapshot.trusted = m_deps.permission.isTrusted();
    if (!snapshot.trusted)
        snapshot.obstacle = m_deps.permission.obstacle();
    snapshot.code = m_deps.transport.currentPairingCode();
    snapshot.pairingStopped = m_deps.transport.pairingStopped();
    snapshot.settingsUnsaved = m_deps.transport.settingsUnsaved();
    snapshot.loginItem = m_deps.loginItem.status();
    std::optional<BrowserLink> link;
    if (const std::optional<std::uint16_t> webPort = m_deps.transport.webPort())
        link = makeBrowserLink(m_deps.transport.localAddresses(), m_deps.transport.hostName(), *webPort, snapshot.code);
    if (link)
        addBrowserLinkTexts(*link, m_deps.strings);
    snapshot.browserPage = link.has_value();
    m_deps.menu.showEntries(buildMenuEntries(snapshot, m_deps.strings));
    m_deps.menu.setBrowserLink(link);
}

void AppDelegate::refreshPairingCode() {
    m_deps.transport.regeneratePairingCode();
    // The new code is published through the main queue before this task runs, so the rebuild shows it.
    std::weak_ptr<AppDelegate*> weak = m_self;
    m_deps.mainQueue.postDelayed(reopenDelay, [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        AppDelegate& delegate = **self;
        delegate.m_deps.menu.cancelTracking();
        delegate.updateMenu();
        if (delegate.m_deps.menu.hasStatusButton())
            delegate.m_deps.menu.popUpAtStatusItem();
    });
}

void AppDelegate::connectWithBrowser() {
    // The link carries the code and the addresses of this moment.
    updateMenu();
    m_deps.menu.showBrowserLink();
}

void AppDelegate::checkAccessibilityPermission() {
    if (m_deps.permission.isTrustedWithPrompt())
        return;
    m_launchObstacle = m_deps.permission.obstacle();
    std::weak_ptr<AppDelegate*> weak = m_self;
    m_deps.mainQueue.postDelayed(accessibilityAlertDelay, [weak] {
        if (auto self = weak.lock())
            (*self)->showAccessibilityAlert();
    });
}

void AppDelegate::showAccessibilityAlert() {
    AlertRequest alert;
    alert.messageText = m_deps.strings.text("accessibility.permission_required", "Accessibility Permission Required");
    InputObstacle obstacle = m_deps.permission.isTrusted() ? m_launchObstacle : m_deps.permission.obstacle();
    alert.informativeText = inputPermissionMessage(obstacle, m_deps.strings);
    alert.buttons = {m_deps.strings.text("accessibility.open_settings_button", "Open System Settings"),
                     m_deps.strings.text("accessibility.cancel", "Later")};
    if (m_deps.alerts.runModal(alert) == 0)
        openAccessibilitySettings();
}

void AppDelegate::openAccessibilitySettings() {
    m_deps.permission.openAccessibilitySettings();
}

void AppDelegate::toggleLaunchAtLogin() {
    const LoginItemChange change = m_deps.loginItem.status() == LoginItemStatus::enabled
                                       ? m_deps.loginItem.unregisterItem()
                                       : m_deps.loginItem.registerItem();
    if (change.succeeded) {
        updateMenu();
        return;
    }
    AlertRequest alert;
    alert.messageText = "Launch at Login Error";
    alert.informativeText = "Could not change launch at login setting: " + change.errorDescription;
    alert.buttons = {"OK"};
    m_deps.alerts.runModal(alert);
}

void AppDelegate::quit() {
    if (m_deps.terminate)
        m_deps.terminate();
}

void AppDelegate::perform(MenuAction action) {
    switch (action) {
    case MenuAction::refreshPairingCode:
        refreshPairingCode();
        break;
    case MenuAction::connectWithBrowser:
        connectWithBrowser();
        break;
    case MenuAction::openAccessibilitySettings:
        openAccessibilitySettings();
        break;
    case MenuAction::toggleLaunchAtLogin:
        toggleLaunchAtLogin();
        break;
    case MenuAction::quit:
        quit();
        break;
    case MenuAction::none:
        break;
    }
}

} // namespace vemdo
