// SPDX-License-Identifier: MIT
#include "app/command_line.h"
#include "main/program.h"
#include "platform/host/desktop_session.h"
#include "platform/host/file_defaults_store.h"
#include "platform/host/paths.h"
#include "platform/host/single_instance_lock.h"
#include "platform/input/input_backend_factory.h"
#include "platform/network/sockets.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

using namespace vemdo;

int main(int argc, char** argv) {
    platform::raiseDescriptorLimit();
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
        FileDefaultsStore store(platform::defaultsStoreFile());
        const auto backend = makeInputBackend(options.input, &store);
        std::cout << usageText("vemdo-trackpad", describeInputBackend(*backend));
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

    // Never destroyed: see Program.
    auto* program = new Program(options, headless);
    QTimer::singleShot(0, application.get(), [program] { program->start(); });
    const int status = application->exec();
    // The transport thread still runs: leave without running destructors it might race with.
    std::fflush(stdout);
    std::_Exit(status);
}
