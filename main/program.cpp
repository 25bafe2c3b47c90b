// SPDX-License-Identifier: MIT
#include "main/program.h"

#include "platform/host/paths.h"
#include "platform/host/string_tables.h"
#include "platform/input/input_backend_factory.h"
#include "platform/network/sockets.h"
#include "platform/ui/headless_menu_presenter.h"
#include "platform/ui/menu_widgets.h"
#include "platform/ui/qt_alert_presenter.h"
#include "platform/ui/tray_menu_presenter.h"
#include "platform/ui/window_menu_presenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSystemTrayIcon>
#include <QThread>

#include <iostream>

namespace vemdo {

namespace {

// The transport and the browser page, as the application sees them.
class Server final : public TransportFacade {
public:
    Server(Transport& transport, platform::WebPage& webPage) : m_transport(transport), m_webPage(webPage) {}
    bool isListening() override { return m_transport.isListening(); }
    int connectedClients() override { return m_transport.connectedClients(); }
    std::optional<std::string> currentPairingCode() override { return m_transport.currentPairingCode(); }
    bool pairingStopped() override { return m_transport.pairingStopped(); }
    bool settingsUnsaved() override { return m_transport.settingsUnsaved(); }
    void start() override {
        m_transport.start();
        m_webPage.start();
    }
    void regeneratePairingCode() override { m_transport.regeneratePairingCode(); }
    std::optional<std::uint16_t> webPort() override { return m_webPage.port(); }
    std::vector<std::string> localAddresses() override { return platform::localAddresses(); }
    std::string hostName() override { return platform::localHostName(); }

private:
    Transport& m_transport;
    platform::WebPage& m_webPage;
};

// A program started at login may come up before the desktop's panel: give the tray a moment to appear
// before settling for the window.
bool waitForTray() {
    QElapsedTimer waited;
    waited.start();
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (waited.elapsed() >= 3000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(100);
    }
    return true;
}

} // namespace

std::string describeInputBackend(const InputBackend& backend) {
    std::string name = backend.name().empty() ? std::string("none") : backend.name();
    if (backend.canPost())
        return name;
    if (backend.obstacle() == InputObstacle::awaitingApproval)
        return name + " (asks you to allow remote control)";
    return name + " (input not possible)";
}

Program::Program(const CommandLine& options, bool headless)
    : m_store(platform::defaultsStoreFile()), m_strings(loadStringTables()), m_mainQueue(QCoreApplication::instance()),
      m_transportThread("transport"), m_peerBudget(platform::peerDescriptorBudget()),
      m_backend(makeInputBackend(options.input, &m_store)), m_injector(*m_backend, m_monotonicClock, m_transportThread),
      m_security(m_store, m_clock, m_random), m_phoneListener(m_transportThread, m_peerBudget),
      m_transport({
          .security = m_security,
          .injector = m_injector,
          .network = m_phoneListener,
          .mainQueue = m_mainQueue,
          .clock = m_clock,
          .random = m_random,
          .strings = *m_strings,
          .requestedPort = options.port.value_or(0),
      }),
      m_webPage(m_transport, m_transportThread, m_peerBudget, m_mainQueue, *m_strings, options.webPort),
      m_server(std::make_unique<Server>(m_transport, m_webPage)), m_inputHelp(*m_backend, !headless),
      m_autostart(XdgAutostartEntry::defaultDirectory(), platform::executablePath()) {
    if (headless) {
        m_menu = std::make_unique<HeadlessMenuPresenter>(
            std::cout,
            [this]() -> std::optional<std::uint16_t> {
                return m_transport.isListening() ? m_transport.listeningPort() : std::nullopt;
            },
            [this] { return describeInputBackend(*m_backend); });
        const auto help = InputHelp::helpPage();
        m_alerts = std::make_unique<TerminalAlertPresenter>(
            std::cerr, help.empty() ? std::string() : "How to make input possible: " + help.string());
    } else {
        prepareIconTheme();
        QApplication::setDesktopFileName(QStringLiteral("vemdo-trackpad"));
        if (waitForTray()) {
            // Closing an alert must not end a program whose only other window is the tray menu.
            QApplication::setQuitOnLastWindowClosed(false);
            m_menu = std::make_unique<TrayMenuPresenter>();
        } else {
            // Without a tray the window is the whole interface; closing it ends the program.
            m_menu = std::make_unique<WindowMenuPresenter>();
        }
        m_alerts = std::make_unique<QtAlertPresenter>();
    }
    m_application = std::make_unique<Application>(Application::Dependencies{*m_server, *m_menu, *m_alerts, m_inputHelp,
                                                                            m_autostart, m_mainQueue, *m_strings,
                                                                            [] { QCoreApplication::quit(); }});
}

} // namespace vemdo
