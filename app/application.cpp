// SPDX-License-Identifier: MIT
#include "app/application.h"

#include "transport/string_table.h"
#include "transport/task_queue.h"

#include <utility>

namespace vemdo {

Application::Application(Dependencies dependencies)
    : m_deps(std::move(dependencies)), m_self(std::make_shared<Application*>(this)) {}

Application::~Application() = default;

void Application::start() {
    if (m_started)
        return;
    m_started = true;
    m_deps.menu.showIcon(programIcon());
    std::weak_ptr<Application*> weak = m_self;
    m_deps.menu.setActionHandler([weak](MenuAction action) {
        if (auto self = weak.lock())
            (*self)->perform(action);
    });
    updateMenu();
    scheduleRefresh();
    askForInput();
    m_deps.transport.start();
}

void Application::scheduleRefresh() {
    // A repeating timer as a chain of delayed tasks: each firing rebuilds and arms the next one.
    std::weak_ptr<Application*> weak = m_self;
    m_deps.mainQueue.postDelayed(refreshInterval, [weak] {
        if (auto self = weak.lock()) {
            (*self)->updateMenu();
            (*self)->scheduleRefresh();
        }
    });
}

void Application::updateMenu() {
    MenuSnapshot snapshot;
    snapshot.listening = m_deps.transport.isListening();
    snapshot.clients = m_deps.transport.connectedClients();
    snapshot.canPost = m_deps.input.canPost();
    if (!snapshot.canPost)
        snapshot.obstacle = m_deps.input.obstacle();
    snapshot.code = m_deps.transport.currentPairingCode();
    snapshot.pairingStopped = m_deps.transport.pairingStopped();
    snapshot.settingsUnsaved = m_deps.transport.settingsUnsaved();
    snapshot.autostart = m_deps.autostart.state();
    std::optional<BrowserLink> link;
    if (const std::optional<std::uint16_t> webPort = m_deps.transport.webPort())
        link = makeBrowserLink(m_deps.transport.localAddresses(), m_deps.transport.hostName(), *webPort, snapshot.code);
    if (link)
        addBrowserLinkTexts(*link, m_deps.strings);
    snapshot.browserPage = link.has_value();
    m_deps.menu.showEntries(buildMenuEntries(snapshot, m_deps.strings));
    m_deps.menu.setBrowserLink(link);
}

void Application::refreshPairingCode() {
    m_deps.transport.regeneratePairingCode();
    // The new code is published through the main queue before this task runs, so the rebuild shows it.
    std::weak_ptr<Application*> weak = m_self;
    m_deps.mainQueue.postDelayed(reopenDelay, [weak] {
        auto self = weak.lock();
        if (!self)
            return;
        Application& application = **self;
        application.m_deps.menu.closeMenu();
        application.updateMenu();
        if (application.m_deps.menu.hasTrayIcon())
            application.m_deps.menu.openMenuAtTrayIcon();
    });
}

void Application::connectWithBrowser() {
    // The link carries the code and the addresses of this moment.
    updateMenu();
    m_deps.menu.showBrowserLink();
}

void Application::askForInput() {
    if (m_deps.input.askAtStart())
        return;
    m_startObstacle = m_deps.input.obstacle();
    std::weak_ptr<Application*> weak = m_self;
    m_deps.mainQueue.postDelayed(inputAlertDelay, [weak] {
        if (auto self = weak.lock())
            (*self)->showInputAlert();
    });
}

void Application::showInputAlert() {
    AlertRequest alert;
    alert.messageText = m_deps.strings.text("alert.input_title", "Input Not Possible");
    InputObstacle obstacle = m_deps.input.canPost() ? m_startObstacle : m_deps.input.obstacle();
    alert.informativeText = inputAlertMessage(obstacle, m_deps.strings);
    alert.buttons = {m_deps.strings.text("alert.help_button", "Show Help"),
                     m_deps.strings.text("alert.later", "Later")};
    if (m_deps.alerts.ask(alert) == 0)
        showInputHelp();
}

void Application::showInputHelp() {
    m_deps.input.showInputHelp();
}

void Application::toggleLaunchAtLogin() {
    const AutostartChange change =
        m_deps.autostart.state() == AutostartState::enabled ? m_deps.autostart.disable() : m_deps.autostart.enable();
    if (change.succeeded) {
        updateMenu();
        return;
    }
    AlertRequest alert;
    alert.messageText = "Launch at Login Error";
    alert.informativeText = "Could not change launch at login setting: " + change.errorDescription;
    alert.buttons = {"OK"};
    m_deps.alerts.ask(alert);
}

void Application::quit() {
    if (m_deps.terminate)
        m_deps.terminate();
}

void Application::perform(MenuAction action) {
    switch (action) {
    case MenuAction::refreshPairingCode:
        refreshPairingCode();
        break;
    case MenuAction::connectWithBrowser:
        connectWithBrowser();
        break;
    case MenuAction::showInputHelp:
        showInputHelp();
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
