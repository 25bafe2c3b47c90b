// SPDX-License-Identifier: MIT
#include "platform/shared_instances.h"

#include "injection/cg_event_injector.h"
#include "injection/monotonic_clock.h"
#include "platform/file_defaults_store.h"
#include "platform/getrandom_source.h"
#include "platform/input/input_backend_factory.h"
#include "platform/qt_network.h"
#include "platform/qt_task_queue.h"
#include "platform/string_tables.h"
#include "platform/system_clock.h"
#include "platform/web/web_listener.h"
#include "security/security_manager.h"
#include "transport/peer_budget.h"
#include "transport/transport.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>

#include <sys/resource.h>

// Every instance here is made on first use and deliberately never destroyed: the transport thread keeps
// using them until the process ends, so running their destructors at exit would race with it.

namespace vemdo {

// The Linux pieces live partly in vemdo and partly in vemdo::platform.
using namespace vemdo::platform;

namespace {

std::atomic<std::uint16_t> requestedPort{0};
std::atomic<std::uint16_t> requestedWebPort{0};
// Main thread.
std::optional<std::uint16_t> webPort;
std::atomic<InputBackendChoice> inputChoice{InputBackendChoice::automatic};

const Clock& systemClock() {
    static auto* clock = new SystemClock;
    return *clock;
}

QtThreadQueue& transportThread() {
    static auto* queue = new QtThreadQueue("com.vemdo.listener");
    return *queue;
}

// The descriptors every peer of both listeners holds, within the process's limit as it stands once main has
// raised it. Used on the transport thread.
PeerBudget& peerBudget() {
    static auto* budget = [] {
        rlimit limit{};
        return new PeerBudget(
            budgetForDescriptorLimit(::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024));
    }();
    return *budget;
}

} // namespace

namespace platform {

void setRequestedPort(std::uint16_t port) {
    requestedPort = port;
}

void setRequestedWebPort(std::uint16_t port) {
    requestedWebPort = port;
}

void startWebPage() {
    const std::uint16_t port = requestedWebPort.load();
    if (port == 0)
        return;
    Transport& transport = Transport::shared();
    QtThreadQueue& queue = transportThread();
    queue.post([&transport, &queue, port] {
        static auto* listener =
            new WebListener(transport, queue, queue.context(), peerBudget(), WebListener::pageFiles());
        if (auto error = listener->listen(port)) {
            // On standard error like the other warnings that leave the server running, so that the status
            // blocks on standard output stay whole.
            const std::string line =
                "vemdo-trackpad: " + stringTable().text("web.listener_error", "Browser page listener creation error") +
                " (port " + std::to_string(port) + "): " + *error + "\n";
            std::fputs(line.c_str(), stderr);
            return;
        }
        const std::uint16_t bound = listener->port();
        mainQueue().post([bound] { webPort = bound; });
    });
}

std::optional<std::uint16_t> webPagePort() {
    return webPort;
}

void setInputChoice(InputBackendChoice choice) {
    inputChoice = choice;
}

TaskQueue& mainQueue() {
    static auto* queue = new QtTaskQueue(QCoreApplication::instance());
    return *queue;
}

DefaultsStore& defaultsStore() {
    static auto* store = new FileDefaultsStore(defaultsStoreFile());
    return *store;
}

const StringTable& stringTable() {
    static auto* table = loadStringTables().release();
    return *table;
}

InputBackend& inputBackend() {
    static auto* backend = makeInputBackend(inputChoice.load(), &defaultsStore()).release();
    return *backend;
}

} // namespace platform

SecurityManager& SecurityManager::shared() {
    static auto* random = new GetrandomSource;
    static auto* manager = new SecurityManager(platform::defaultsStore(), systemClock(), *random);
    return *manager;
}

CGEventInjector& CGEventInjector::shared() {
    static auto* clock = new SteadyMonotonicClock;
    static auto* injector = new CGEventInjector(platform::inputBackend(), *clock);
    return *injector;
}

Transport& Transport::shared() {
    static auto* network = new platform::QtNetworkPlatform(transportThread(), peerBudget());
    static auto* transport = new Transport({
        .security = SecurityManager::shared(),
        .injector = CGEventInjector::shared(),
        .network = *network,
        .mainQueue = platform::mainQueue(),
        .clock = systemClock(),
        .strings = platform::stringTable(),
        .requestedPort = requestedPort.load(),
    });
    return *transport;
}

} // namespace vemdo
