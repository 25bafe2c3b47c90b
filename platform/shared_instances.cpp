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
#include "security/security_manager.h"
#include "transport/transport.h"

#include <QCoreApplication>

#include <atomic>

// Every instance here is made on first use and deliberately never destroyed: the transport thread keeps
// using them until the process ends, so running their destructors at exit would race with it.

namespace vemdo {

// The Linux pieces live partly in vemdo and partly in vemdo::platform.
using namespace vemdo::platform;

namespace {

std::atomic<std::uint16_t> requestedPort{0};
std::atomic<InputBackendChoice> inputChoice{InputBackendChoice::automatic};

const Clock& systemClock() {
    static auto* clock = new SystemClock;
    return *clock;
}

} // namespace

namespace platform {

void setRequestedPort(std::uint16_t port) {
    requestedPort = port;
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
    static auto* queue = new platform::QtThreadQueue("com.vemdo.listener");
    static auto* network = new platform::QtNetworkPlatform(*queue);
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
