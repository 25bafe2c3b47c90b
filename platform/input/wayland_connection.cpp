// SPDX-License-Identifier: MIT
#include "platform/input/wayland_connection.h"

#include "platform/input/key_map.h"

#include "xdg-output-unstable-v1-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

namespace vemdo {

namespace {

// Its fields are written by the event thread and read by outputFrames(), both under `mutex`.
struct Output {
    std::mutex* mutex = nullptr;
    std::uint32_t name = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    // From wl_output: the fallback when the compositor has no xdg_output.
    int x = 0;
    int y = 0;
    int modeWidth = 0;
    int modeHeight = 0;
    int scale = 1;
    // From xdg_output: the logical geometry, which already takes scale and transform into account.
    std::optional<Rect> logical;
    Rect pendingLogical;
};

} // namespace

struct WaylandConnection::Impl {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    std::uint32_t seatCapabilities = 0;
    wl_keyboard* keyboard = nullptr;
    zxdg_output_manager_v1* xdgOutputManager = nullptr;
    std::vector<Global> globals;
    bool collecting = true;

    xkb_context* xkbContext = nullptr;
    xkb_keymap* seatKeymap = nullptr;
    std::string keymapText;

    mutable std::mutex outputsMutex;
    std::list<Output> outputs;

    std::atomic<bool> broken = false;
    // See backedUp(); set by flush() on the posting thread.
    bool backedUp = false;
    std::thread eventThread;
    int wakeup[2] = {-1, -1};
    // Written by flush() when the compositor could not take everything: the event thread then sends the
    // rest as soon as it can, rather than when the next request comes.
    int nudge[2] = {-1, -1};

    void addOutput(std::uint32_t name, std::uint32_t version);
    void attachXdgOutput(Output& output);
    void run();
};

namespace {

void outputGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                    int32_t) {
    auto* output = static_cast<Output*>(data);
    std::lock_guard lock(*output->mutex);
    output->x = x;
    output->y = y;
}

void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto* output = static_cast<Output*>(data);
    std::lock_guard lock(*output->mutex);
    if (flags & WL_OUTPUT_MODE_CURRENT) {
        output->modeWidth = width;
        output->modeHeight = height;
    }
}

void outputDone(void*, wl_output*) {}

void outputScale(void* data, wl_output*, int32_t factor) {
    auto* output = static_cast<Output*>(data);
    std::lock_guard lock(*output->mutex);
    output->scale = std::max(factor, 1);
}

void outputName(void*, wl_output*, const char*) {}
void outputDescription(void*, wl_output*, const char*) {}

const wl_output_listener outputListener = {outputGeometry, outputMode, outputDone,
                                           outputScale,    outputName, outputDescription};

void xdgLogicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    auto* output = static_cast<Output*>(data);
    std::lock_guard lock(*output->mutex);
    output->pendingLogical.x = x;
    output->pendingLogical.y = y;
}

void xdgLogicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
    auto* output = static_cast<Output*>(data);
    std::lock_guard lock(*output->mutex);
    output->pendingLogical.width = width;
    output->pendingLogical.height = height;
    // Compositors of version 3 and later end a change with wl_output.done and may not send xdg_output.done;
    // position and size always come together, so take them as soon as the size is in.
    output->logical = output->pendingLogical;
}

void xdgDone(void* data, zxdg_output_v1*) {
    auto* output = static_cast<Output*>(data);
    std::lock_guard lock(*output->mutex);
    output->logical = output->pendingLogical;
}

void xdgName(void*, zxdg_output_v1*, const char*) {}
void xdgDescription(void*, zxdg_output_v1*, const char*) {}

const zxdg_output_v1_listener xdgOutputListener = {xdgLogicalPosition, xdgLogicalSize, xdgDone, xdgName,
                                                   xdgDescription};

void keyboardKeymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    auto* impl = static_cast<WaylandConnection::Impl*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && !impl->seatKeymap && size > 0) {
        void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped != MAP_FAILED) {
            // The text ends with a NUL the size includes.
            impl->keymapText.assign(static_cast<const char*>(mapped), strnlen(static_cast<const char*>(mapped), size));
            munmap(mapped, size);
            impl->seatKeymap = xkb_keymap_new_from_string(impl->xkbContext, impl->keymapText.c_str(),
                                                          XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
            if (!impl->seatKeymap)
                impl->keymapText.clear();
        }
    }
    close(fd);
}

void keyboardEnter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {}
void keyboardLeave(void*, wl_keyboard*, uint32_t, wl_surface*) {}
void keyboardKey(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void keyboardModifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void keyboardRepeat(void*, wl_keyboard*, int32_t, int32_t) {}

const wl_keyboard_listener keyboardListener = {keyboardKeymap, keyboardEnter,     keyboardLeave,
                                               keyboardKey,    keyboardModifiers, keyboardRepeat};

void seatCapabilities(void* data, wl_seat*, uint32_t capabilities) {
    static_cast<WaylandConnection::Impl*>(data)->seatCapabilities = capabilities;
}

void seatName(void*, wl_seat*, const char*) {}

const wl_seat_listener seatListener = {seatCapabilities, seatName};

void registryGlobal(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t version) {
    auto* impl = static_cast<WaylandConnection::Impl*>(data);
    if (impl->collecting)
        impl->globals.push_back({name, interface, version});
    // Outputs plugged in later join the layout.
    if (!impl->collecting && std::strcmp(interface, wl_output_interface.name) == 0)
        impl->addOutput(name, version);
}

void registryGlobalRemove(void* data, wl_registry*, uint32_t name) {
    auto* impl = static_cast<WaylandConnection::Impl*>(data);
    std::lock_guard lock(impl->outputsMutex);
    for (auto it = impl->outputs.begin(); it != impl->outputs.end(); ++it) {
        if (it->name != name)
            continue;
        if (it->xdgOutput)
            zxdg_output_v1_destroy(it->xdgOutput);
        wl_output_destroy(it->output);
        impl->outputs.erase(it);
        return;
    }
}

const wl_registry_listener registryListener = {registryGlobal, registryGlobalRemove};

} // namespace

void WaylandConnection::Impl::addOutput(std::uint32_t name, std::uint32_t version) {
    auto* proxy =
        static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 3u)));
    std::lock_guard lock(outputsMutex);
    Output& output = outputs.emplace_back();
    output.mutex = &outputsMutex;
    output.name = name;
    output.output = proxy;
    wl_output_add_listener(proxy, &outputListener, &output);
    attachXdgOutput(output);
}

void WaylandConnection::Impl::attachXdgOutput(Output& output) {
    if (!xdgOutputManager || output.xdgOutput)
        return;
    output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager, output.output);
    zxdg_output_v1_add_listener(output.xdgOutput, &xdgOutputListener, &output);
}

void WaylandConnection::Impl::run() {
    const int fd = wl_display_get_fd(display);
    while (!broken) {
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) {
                broken = true;
                return;
            }
        }
        const bool pending = wl_display_flush(display) < 0 && errno == EAGAIN;
        pollfd fds[3] = {
            {fd, short(POLLIN | (pending ? POLLOUT : 0)), 0}, {wakeup[0], POLLIN, 0}, {nudge[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            wl_display_cancel_read(display);
            continue;
        }
        if (fds[1].revents) {
            wl_display_cancel_read(display);
            return;
        }
        for (char drained[64]; fds[2].revents && read(nudge[0], drained, sizeof drained) > 0;) {
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (wl_display_read_events(display) < 0) {
                broken = true;
                return;
            }
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0)
            broken = true;
    }
}

WaylandConnection::WaylandConnection(const char* displayName) : m_impl(std::make_unique<Impl>()) {
    Impl& m = *m_impl;
    m.display = wl_display_connect(displayName);
    if (!m.display) {
        m.broken = true;
        return;
    }
    m.xkbContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    m.registry = wl_display_get_registry(m.display);
    wl_registry_add_listener(m.registry, &registryListener, &m);
    if (wl_display_roundtrip(m.display) < 0) {
        m.broken = true;
        return;
    }
    m.collecting = false;

    m.xdgOutputManager = static_cast<zxdg_output_manager_v1*>(
        bind(zxdg_output_manager_v1_interface.name, &zxdg_output_manager_v1_interface, 3));
    for (const Global& global : m.globals) {
        if (global.interface == wl_output_interface.name)
            m.addOutput(global.name, global.version);
    }
    m.seat = static_cast<wl_seat*>(bind(wl_seat_interface.name, &wl_seat_interface, 5));
    if (m.seat)
        wl_seat_add_listener(m.seat, &seatListener, &m);
    roundtrip();

    // The user's layout, so that keys and text mean what they mean on the user's own keyboard.
    if (m.seat && (m.seatCapabilities & WL_SEAT_CAPABILITY_KEYBOARD)) {
        m.keyboard = wl_seat_get_keyboard(m.seat);
        wl_keyboard_add_listener(m.keyboard, &keyboardListener, &m);
        roundtrip();
        // Only the keymap of this moment is wanted; our own keyboard would otherwise report our uploads.
        if (wl_keyboard_get_version(m.keyboard) >= WL_KEYBOARD_RELEASE_SINCE_VERSION)
            wl_keyboard_release(m.keyboard);
        else
            wl_keyboard_destroy(m.keyboard);
        m.keyboard = nullptr;
    }
    if (m.keymapText.empty()) {
        if (xkb_keymap* fallback = defaultKeymap()) {
            if (char* text = xkb_keymap_get_as_string(fallback, XKB_KEYMAP_FORMAT_TEXT_V1)) {
                m.keymapText = text;
                free(text);
            }
        }
    }
}

WaylandConnection::~WaylandConnection() {
    Impl& m = *m_impl;
    if (m.eventThread.joinable()) {
        char byte = 0;
        if (write(m.wakeup[1], &byte, 1) < 0) {
            // The thread cannot be told to stop; leaving it running beats blocking here.
            m.eventThread.detach();
            return;
        }
        m.eventThread.join();
    }
    for (int fd : {m.wakeup[0], m.wakeup[1], m.nudge[0], m.nudge[1]}) {
        if (fd >= 0)
            close(fd);
    }
    if (m.seatKeymap)
        xkb_keymap_unref(m.seatKeymap);
    if (m.xkbContext)
        xkb_context_unref(m.xkbContext);
    if (m.display) {
        // Disconnecting frees no proxy: a connection made only to look at the globals would leak its own.
        for (Output& output : m.outputs) {
            if (output.xdgOutput)
                zxdg_output_v1_destroy(output.xdgOutput);
            wl_output_destroy(output.output);
        }
        if (m.xdgOutputManager)
            zxdg_output_manager_v1_destroy(m.xdgOutputManager);
        if (m.seat)
            wl_seat_destroy(m.seat);
        if (m.registry)
            wl_registry_destroy(m.registry);
        wl_display_flush(m.display);
        wl_display_disconnect(m.display);
    }
}

bool WaylandConnection::alive() const {
    return m_impl->display && !m_impl->broken.load() && wl_display_get_error(m_impl->display) == 0;
}

const WaylandConnection::Global* WaylandConnection::findGlobal(std::string_view interface) const {
    for (const Global& global : m_impl->globals) {
        if (global.interface == interface)
            return &global;
    }
    return nullptr;
}

bool WaylandConnection::looksLikeKWin() const {
    return std::any_of(m_impl->globals.begin(), m_impl->globals.end(), [](const Global& global) {
        return global.interface.starts_with("org_kde_kwin_") || global.interface.starts_with("kde_");
    });
}

void* WaylandConnection::bind(std::string_view interface, const wl_interface* type, std::uint32_t version) {
    const Global* global = findGlobal(interface);
    if (!global || !m_impl->registry)
        return nullptr;
    return wl_registry_bind(m_impl->registry, global->name, type, std::min(global->version, version));
}

wl_seat* WaylandConnection::seat() const {
    return m_impl->seat;
}

xkb_keymap* WaylandConnection::userKeymap() const {
    return m_impl->seatKeymap ? m_impl->seatKeymap : defaultKeymap();
}

const std::string& WaylandConnection::userKeymapText() const {
    return m_impl->keymapText;
}

bool WaylandConnection::roundtrip() {
    if (!m_impl->display || m_impl->broken)
        return false;
    if (wl_display_roundtrip(m_impl->display) < 0)
        m_impl->broken = true;
    return !m_impl->broken;
}

void WaylandConnection::start() {
    Impl& m = *m_impl;
    if (!m.display || m.eventThread.joinable() || pipe(m.wakeup) != 0 || pipe2(m.nudge, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    m.eventThread = std::thread([&m] { m.run(); });
}

bool WaylandConnection::flush() {
    Impl& m = *m_impl;
    if (!m.display || m.broken)
        return false;
    // A full socket (EAGAIN) keeps the requests queued; the event thread sends them when it can.
    const bool sent = wl_display_flush(m.display) >= 0;
    m.backedUp = !sent && errno == EAGAIN;
    if (!sent && !m.backedUp)
        m.broken = true;
    char byte = 0;
    if (m.backedUp && m.nudge[1] >= 0 && write(m.nudge[1], &byte, 1) < 0) {
        // Full: the event thread has been told already.
    }
    return !m.broken;
}

bool WaylandConnection::backedUp() const {
    return m_impl->backedUp;
}

std::vector<Rect> WaylandConnection::outputFrames() const {
    std::lock_guard lock(m_impl->outputsMutex);
    std::vector<Rect> frames;
    for (const Output& output : m_impl->outputs) {
        if (output.logical && output.logical->width > 0 && output.logical->height > 0) {
            frames.push_back(*output.logical);
        } else if (output.modeWidth > 0 && output.modeHeight > 0) {
            frames.push_back({double(output.x), double(output.y), double(output.modeWidth / output.scale),
                              double(output.modeHeight / output.scale)});
        }
    }
    return frames;
}

std::uint32_t WaylandConnection::timestamp() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

} // namespace vemdo
