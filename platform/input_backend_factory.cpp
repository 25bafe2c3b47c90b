// SPDX-License-Identifier: MIT
#include "platform/input_backend_factory.h"

#include "platform/x11_input_backend.h"

#include <cstdio>

namespace vemdo {

std::unique_ptr<InputBackend> makeInputBackend() {
    auto backend = std::make_unique<X11InputBackend>();
    if (!backend->isTrusted()) {
        std::fprintf(stderr, "vemdo: input cannot be injected: %s\n", backend->unavailableReason().c_str());
    }
    return backend;
}

} // namespace vemdo
