// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <cstdint>
#include <optional>

namespace vemdo {

class DefaultsStore;
class StringTable;
class TaskQueue;

// The process-wide instances behind the `shared` accessors, wired to the Linux platform. Each is made
// on first use and lives until the process ends.
namespace platform {

// Before the first use of Transport::shared(): the fixed TCP port asked for on the command line.
void setRequestedPort(std::uint16_t port);

// Before startWebPage(): the browser page's port; 0 serves no page.
void setRequestedWebPort(std::uint16_t port);
// Main thread, once, after Transport::shared() exists: opens the browser page's listener on the transport
// thread. When the port cannot be had, one line on standard error says so and the rest runs on.
void startWebPage();
// Main thread: the browser page's port once it listens.
std::optional<std::uint16_t> webPagePort();
// Before the first use of inputBackend(): the backend asked for on the command line.
void setInputChoice(InputBackendChoice choice);

// The main thread's queue. Needs the Qt application object to exist.
TaskQueue& mainQueue();
DefaultsStore& defaultsStore();
const StringTable& stringTable();
// The input backend; isTrusted() may be asked from any thread, posting belongs to the transport thread.
InputBackend& inputBackend();

} // namespace platform
} // namespace vemdo
