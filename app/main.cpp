// SPDX-License-Identifier: MIT
#include "app/app_delegate.h"
#include "app/command_line.h"
#include "injection/input_backend.h"
#include "platform/autostart_login_item.h"
#include "platform/desktop_session.h"
#include "platform/headless_menu_presenter.h"
#include "platform/qt_ui_menu.h"
#include "platform/resource_paths.h"
#include "platform/shared_instances.h"
#include "platform/single_instance_lock.h"
#include "platform/web/web_listener.h"
#include "transport/transport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <sys/resource.h>

namespace {

using namespace vemdo;

// Every call reaches Transport::shared(), so the transport is created by the first menu build.
class SharedTransport final : public TransportFacade {
public:
    bool isListening() override { return Transport::shared().isListening(); }
    int connectedClients() override { return Transport::shared().connectedClients(); }
    std::optional<std::string> currentPairingCode() override { return Transport::shared().currentPairingCode(); }
    bool pairingStopped() override { return Transport::shared().pairingStopped(); }
    bool settingsUnsaved() override { return Transport::shared().settingsUnsaved(); }
    void start() override {
        Transport::shared().start();
        platform::startWebPage();
    }
    void regeneratePairingCode() override { Transport::shared().regeneratePairingCode(); }
    std::optional<std::uint16_t> webPort() override { return platform::webPagePort(); }
    std::vector<std::string> localAddresses() override { return platform::localAddresses(); }
    std::string hostName() override { return platform::localHostName(); }
};

// The backend's name, and whether it can post, for the terminal and --help.
std::string inputBackendDescription(const InputBackend& backend) {
    std::string name = backend.name().empty() ? std::string("none") : backend.name();
    if (backend.isTrusted())
        return name;
    if (backend.obstacle() == InputObstacle::awaitingApproval)
        return name + " (asks you to allow remote control)";
    return name + " (input not possible)";
}

std::optional<std::uint16_t> portWhileListening() {
    auto& transport = Transport::shared();
    if (!transport.isListening())
        return std::nullopt;
    return transport.listeningPort();
}

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

int main(int argc, char** argv) {
    // Every connection holds a descriptor, and the listeners keep their peers within a budget below this
    // limit: take all the system grants, so that a flood of connections cannot crowd out the store and the
    // display as early as the usual soft limit of 1,024 would let it.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const CommandLineResult parsed = parseCommandLine(arguments);
    if (!parsed.options) {
        std::cerr << "vemdo-trackpad: " << parsed.error << "\n"
                  << "Try 'vemdo-trackpad --help' for more information.\n";
        return 2;
    }
    const CommandLine& options = *parsed.options;
    if (options.help) {
        // The GNOME and portal backends speak D-Bus, which wants the application object.
        QCoreApplication application(argc, argv);
        platform::setInputChoice(options.input);
        std::cout << usageText("vemdo-trackpad", inputBackendDescription(platform::inputBackend()));
        return 0;
    }
    if (options.version) {
        std::cout << "vemdo-trackpad " << platform::applicationVersion() << '\n';
        return 0;
    }

    // Whoever reads the terminal output (a person, a log, a test) should see each block as it is made.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SingleInstanceLock lock(SingleInstanceLock::defaultFile());
    if (lock.outcome() == SingleInstanceLock::Outcome::heldByAnother) {
        std::cerr << "vemdo-trackpad: already running for this user";
        if (lock.holder() > 0)
            std::cerr << " (process " << lock.holder() << ")";
        std::cerr << "; only one server may use the pairing store at a time.\n";
        return 1;
    }
    if (lock.outcome() == SingleInstanceLock::Outcome::failed)
        std::cerr << "vemdo-trackpad: cannot take the single-instance lock (" << lock.error()
                  << "); going on without it.\n";

    if (options.port)
        platform::setRequestedPort(*options.port);
    platform::setRequestedWebPort(options.webPort);
    platform::setInputChoice(options.input);

    bool headless = options.headless;
    if (!headless) {
        std::string reason;
        if (!platform::desktopSessionAvailable(reason)) {
            // No display at all is the ordinary headless case; a named display that cannot be opened is
            // worth a word.
            if (reason.starts_with("cannot"))
                std::cerr << "vemdo-trackpad: " << reason << "; showing the status here instead.\n";
            headless = true;
        }
    }
    std::unique_ptr<QCoreApplication> application;
    if (headless)
        application = std::make_unique<QCoreApplication>(argc, argv);
    else
        application = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vemdo-trackpad"));
    QCoreApplication::setApplicationVersion(QString::fromStdString(platform::applicationVersion()));

    std::unique_ptr<StatusMenuPresenter> menu;
    std::unique_ptr<AlertPresenter> alerts;
    if (headless) {
        menu = std::make_unique<HeadlessMenuPresenter>(
            std::cout, portWhileListening, [] { return inputBackendDescription(platform::inputBackend()); });
        const auto help = InputPermission::helpPage();
        alerts = std::make_unique<TerminalAlertPresenter>(
            std::cerr, help.empty() ? std::string() : "How to make input possible: " + help.string());
    } else {
        prepareIconTheme();
        QApplication::setDesktopFileName(QStringLiteral("vemdo-trackpad"));
        if (waitForTray()) {
            // Closing an alert must not end a program whose only other window is the tray menu.
            QApplication::setQuitOnLastWindowClosed(false);
            menu = std::make_unique<TrayMenuPresenter>();
        } else {
            // Without a tray the window is the whole interface; closing it ends the program.
            menu = std::make_unique<WindowMenuPresenter>();
        }
        alerts = std::make_unique<QtAlertPresenter>();
    }

    SharedTransport transport;
    InputPermission permission([] { return platform::inputBackend().isTrusted(); }, !headless,
                               [] { return platform::inputBackend().obstacle(); },
                               [] { return platform::inputBackend().requestAccess(); });
    AutostartLoginItem loginItem(AutostartLoginItem::defaultDirectory(), platform::executablePath());

    // Held for the life of the process, as the event loop never hands control back before exit.
    static AppDelegate* delegate =
        new AppDelegate({transport, *menu, *alerts, permission, loginItem, platform::mainQueue(),
                         platform::stringTable(), [] { QCoreApplication::quit(); }});
    QTimer::singleShot(0, application.get(), [] { delegate->applicationDidFinishLaunching(); });
    const int status = application->exec();
    // The transport thread still runs: leave without running destructors it might race with.
    std::fflush(stdout);
    std::_Exit(status);
}
