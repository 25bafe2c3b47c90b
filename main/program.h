// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"
#include "app/command_line.h"
#include "injection/input_backend.h"
#include "injection/input_injector.h"
#include "injection/monotonic_clock.h"
#include "platform/host/file_defaults_store.h"
#include "platform/host/getrandom_source.h"
#include "platform/host/qt_task_queue.h"
#include "platform/host/system_clock.h"
#include "platform/host/xdg_autostart_entry.h"
#include "platform/network/phone_listener.h"
#include "platform/network/web_page.h"
#include "platform/ui/input_help.h"
#include "security/security_manager.h"
#include "transport/peer_budget.h"
#include "transport/string_table.h"
#include "transport/transport.h"

#include <memory>
#include <string>

namespace vemdo {

// The input backend's name and whether it can post, for the terminal and --help.
std::string describeInputBackend(const InputBackend& backend);

// Every object of the running server, made in the order they need each other and handed what they need:
// the one place that wires the program.
//
// Made on the main thread once the toolkit's application object exists (a QApplication unless headless),
// and never destroyed: the transport thread uses these objects until the process ends.
class Program {
public:
    Program(const CommandLine& options, bool headless);
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // From the event loop, once: shows the menu, asks for input and starts the listeners.
    void start() { m_application->start(); }

private:
    SystemClock m_clock;
    SteadyMonotonicClock m_monotonicClock;
    GetrandomSource m_random;
    FileDefaultsStore m_store;
    std::unique_ptr<StringTable> m_strings;
    platform::QtTaskQueue m_mainQueue;
    platform::QtThreadQueue m_transportThread;
    // The descriptors every peer of both listeners holds; used on the transport thread.
    PeerBudget m_peerBudget;
    std::unique_ptr<InputBackend> m_backend;
    InputInjector m_injector;
    SecurityManager m_security;
    platform::PhoneListener m_phoneListener;
    Transport m_transport;
    platform::WebPage m_webPage;
    std::unique_ptr<TransportFacade> m_server;
    std::unique_ptr<StatusMenuPresenter> m_menu;
    std::unique_ptr<AlertPresenter> m_alerts;
    InputHelp m_inputHelp;
    XdgAutostartEntry m_autostart;
    std::unique_ptr<Application> m_application;
};

} // namespace vemdo
