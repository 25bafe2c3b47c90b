// SPDX-License-Identifier: MIT
// A Wayland window that records what it receives, one line per event on standard output:
//   ready W H                       the window is mapped at that size (again at every new size)
//   enter X Y / motion X Y          pointer position, surface-local
//   button CODE pressed|released    Linux button codes (272 left, 273 right, 274 middle)
//   axis vertical|horizontal V      scroll value (positive: down or right)
//   discrete vertical|horizontal N  wheel clicks
//   focus                           the window has the keyboard focus
//   key NAME pressed|released MODS  keysym name through the current keymap, modifiers as "ctrl+shift" or "-"
//   text UTF8                       the text a key press types (not for presses with Control)
// and "output" lines on start for every output: output X Y W H (logical geometry).

#define _GNU_SOURCE
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <linux/input-event-codes.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static struct wl_compositor* compositor;
static struct wl_shm* shm;
static struct wl_seat* seat;
static struct xdg_wm_base* wmBase;
static struct zxdg_output_manager_v1* outputManager;
static struct wl_output* outputs[8];
static int outputCount;
static struct wl_surface* surface;
static struct xdg_surface* xdgSurface;
static struct xdg_toplevel* toplevel;
static struct wl_buffer* buffer;
static int width = 640, height = 480;
static int configured;
static struct xkb_context* xkbContext;
static struct xkb_keymap* keymap;
static struct xkb_state* xkbState;

static void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

static struct wl_buffer* makeBuffer(int w, int h) {
    int stride = w * 4;
    int size = stride * h;
    int fd = memfd_create("recorder", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0)
        exit(1);
    uint32_t* pixels = mmap(NULL, (size_t)size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    for (int i = 0; i < w * h; ++i)
        pixels[i] = 0xff3060a0;
    munmap(pixels, (size_t)size);
    struct wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    struct wl_buffer* made = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return made;
}

static void pointerEnter(void* d, struct wl_pointer* p, uint32_t serial, struct wl_surface* s, wl_fixed_t x, wl_fixed_t y) {
    (void)d, (void)s;
    // No cursor image: the compositor would otherwise draw nothing here anyway.
    wl_pointer_set_cursor(p, serial, NULL, 0, 0);
    say("enter %.0f %.0f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointerLeave(void* d, struct wl_pointer* p, uint32_t serial, struct wl_surface* s) {
    (void)d, (void)p, (void)serial, (void)s;
    say("leave");
}
static void pointerMotion(void* d, struct wl_pointer* p, uint32_t time, wl_fixed_t x, wl_fixed_t y) {
    (void)d, (void)p, (void)time;
    say("motion %.0f %.0f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointerButton(void* d, struct wl_pointer* p, uint32_t serial, uint32_t time, uint32_t button, uint32_t state) {
    (void)d, (void)p, (void)serial, (void)time;
    say("button %u %s", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}
static const char* axisName(uint32_t axis) {
    return axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical" : "horizontal";
}
static void pointerAxis(void* d, struct wl_pointer* p, uint32_t time, uint32_t axis, wl_fixed_t value) {
    (void)d, (void)p, (void)time;
    say("axis %s %.0f", axisName(axis), wl_fixed_to_double(value));
}
static void pointerFrame(void* d, struct wl_pointer* p) { (void)d, (void)p; }
static void pointerAxisSource(void* d, struct wl_pointer* p, uint32_t source) { (void)d, (void)p, (void)source; }
static void pointerAxisStop(void* d, struct wl_pointer* p, uint32_t time, uint32_t axis) { (void)d, (void)p, (void)time, (void)axis; }
static void pointerAxisDiscrete(void* d, struct wl_pointer* p, uint32_t axis, int32_t discrete) {
    (void)d, (void)p;
    say("discrete %s %d", axisName(axis), discrete);
}
static void pointerAxisValue120(void* d, struct wl_pointer* p, uint32_t axis, int32_t value) { (void)d, (void)p, (void)axis, (void)value; }
static const struct wl_pointer_listener pointerListener = {
    pointerEnter, pointerLeave, pointerMotion, pointerButton, pointerAxis, pointerFrame, pointerAxisSource,
    pointerAxisStop, pointerAxisDiscrete, pointerAxisValue120,
};

static void keyboardKeymap(void* d, struct wl_keyboard* k, uint32_t format, int32_t fd, uint32_t size) {
    (void)d, (void)k;
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        char* text = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text != MAP_FAILED) {
            struct xkb_keymap* made =
                xkb_keymap_new_from_string(xkbContext, text, XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
            munmap(text, size);
            if (made) {
                if (xkbState)
                    xkb_state_unref(xkbState);
                if (keymap)
                    xkb_keymap_unref(keymap);
                keymap = made;
                xkbState = xkb_state_new(keymap);
            }
        }
    }
    close(fd);
}
static void keyboardEnter(void* d, struct wl_keyboard* k, uint32_t serial, struct wl_surface* s, struct wl_array* keys) {
    (void)d, (void)k, (void)serial, (void)s, (void)keys;
    say("focus");
}
static void keyboardLeave(void* d, struct wl_keyboard* k, uint32_t serial, struct wl_surface* s) {
    (void)d, (void)k, (void)serial, (void)s;
    say("unfocus");
}
static void keyboardKey(void* d, struct wl_keyboard* k, uint32_t serial, uint32_t time, uint32_t key, uint32_t state) {
    (void)d, (void)k, (void)serial, (void)time;
    if (!xkbState)
        return;
    xkb_keycode_t code = key + 8;
    char name[64] = "?";
    xkb_keysym_get_name(xkb_state_key_get_one_sym(xkbState, code), name, sizeof name);
    int ctrl = xkb_state_mod_name_is_active(xkbState, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0;
    int shift = xkb_state_mod_name_is_active(xkbState, XKB_MOD_NAME_SHIFT, XKB_STATE_MODS_EFFECTIVE) > 0;
    const char* mods = ctrl && shift ? "ctrl+shift" : ctrl ? "ctrl" : shift ? "shift" : "-";
    int pressed = state == WL_KEYBOARD_KEY_STATE_PRESSED;
    say("key %s %s %s", name, pressed ? "pressed" : "released", mods);
    if (pressed && !ctrl) {
        char text[64];
        if (xkb_state_key_get_utf8(xkbState, code, text, sizeof text) > 0)
            say("text %s", text);
    }
}
static void keyboardModifiers(void* d, struct wl_keyboard* k, uint32_t serial, uint32_t depressed, uint32_t latched,
                              uint32_t locked, uint32_t group) {
    (void)d, (void)k, (void)serial;
    if (getenv("RECORDER_DEBUG"))
        say("modifiers %u %u %u %u", depressed, latched, locked, group);
    if (xkbState)
        xkb_state_update_mask(xkbState, depressed, latched, locked, 0, 0, group);
}
static void keyboardRepeat(void* d, struct wl_keyboard* k, int32_t rate, int32_t delay) { (void)d, (void)k, (void)rate, (void)delay; }
static const struct wl_keyboard_listener keyboardListener = {
    keyboardKeymap, keyboardEnter, keyboardLeave, keyboardKey, keyboardModifiers, keyboardRepeat,
};

static struct wl_pointer* pointer;
static struct wl_keyboard* keyboard;

static void seatCapabilities(void* d, struct wl_seat* s, uint32_t caps) {
    (void)d;
    if ((caps & WL_SEAT_CAPABILITY_POINTER) && !pointer) {
        pointer = wl_seat_get_pointer(s);
        wl_pointer_add_listener(pointer, &pointerListener, NULL);
    }
    if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !keyboard) {
        keyboard = wl_seat_get_keyboard(s);
        wl_keyboard_add_listener(keyboard, &keyboardListener, NULL);
    }
    // A seat that loses a device makes its object inert; the device coming back needs a new one.
    if (!(caps & WL_SEAT_CAPABILITY_POINTER) && pointer) {
        wl_pointer_release(pointer);
        pointer = NULL;
    }
    if (!(caps & WL_SEAT_CAPABILITY_KEYBOARD) && keyboard) {
        wl_keyboard_release(keyboard);
        keyboard = NULL;
    }
}
static void seatName(void* d, struct wl_seat* s, const char* name) { (void)d, (void)s, (void)name; }
static const struct wl_seat_listener seatListener = {seatCapabilities, seatName};

static void wmPing(void* d, struct xdg_wm_base* b, uint32_t serial) {
    (void)d;
    xdg_wm_base_pong(b, serial);
}
static const struct xdg_wm_base_listener wmListener = {wmPing};

static void surfaceConfigure(void* d, struct xdg_surface* s, uint32_t serial) {
    (void)d;
    xdg_surface_ack_configure(s, serial);
    if (buffer)
        wl_buffer_destroy(buffer);
    buffer = makeBuffer(width, height);
    wl_surface_attach(surface, buffer, 0, 0);
    wl_surface_damage(surface, 0, 0, width, height);
    wl_surface_commit(surface);
    say("ready %d %d", width, height);
    configured = 1;
}
static const struct xdg_surface_listener surfaceListener = {surfaceConfigure};

static void toplevelConfigure(void* d, struct xdg_toplevel* t, int32_t w, int32_t h, struct wl_array* states) {
    (void)d, (void)t, (void)states;
    if (w > 0 && h > 0) {
        width = w;
        height = h;
    }
}
static void toplevelClose(void* d, struct xdg_toplevel* t) {
    (void)d, (void)t;
    exit(0);
}
static void toplevelBounds(void* d, struct xdg_toplevel* t, int32_t w, int32_t h) { (void)d, (void)t, (void)w, (void)h; }
static void toplevelCapabilities(void* d, struct xdg_toplevel* t, struct wl_array* c) { (void)d, (void)t, (void)c; }
static const struct xdg_toplevel_listener toplevelListener = {toplevelConfigure, toplevelClose, toplevelBounds,
                                                              toplevelCapabilities};

static void xdgPosition(void* d, struct zxdg_output_v1* o, int32_t x, int32_t y) {
    (void)o;
    int* box = d;
    box[0] = x, box[1] = y;
}
static void xdgSize(void* d, struct zxdg_output_v1* o, int32_t w, int32_t h) {
    (void)o;
    int* box = d;
    box[2] = w, box[3] = h;
}
static void xdgDone(void* d, struct zxdg_output_v1* o) { (void)d, (void)o; }
static void xdgName(void* d, struct zxdg_output_v1* o, const char* n) { (void)d, (void)o, (void)n; }
static void xdgDescription(void* d, struct zxdg_output_v1* o, const char* n) { (void)d, (void)o, (void)n; }
static const struct zxdg_output_v1_listener xdgOutputListener = {xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

static void global(void* d, struct wl_registry* r, uint32_t name, const char* interface, uint32_t version) {
    (void)d;
    if (strcmp(interface, wl_compositor_interface.name) == 0)
        compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
    else if (strcmp(interface, wl_shm_interface.name) == 0)
        shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
    else if (strcmp(interface, wl_seat_interface.name) == 0 && !seat) {
        seat = wl_registry_bind(r, name, &wl_seat_interface, version < 5 ? version : 5);
        wl_seat_add_listener(seat, &seatListener, NULL);
    }
    else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
        wmBase = wl_registry_bind(r, name, &xdg_wm_base_interface, 1);
    else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0)
        outputManager = wl_registry_bind(r, name, &zxdg_output_manager_v1_interface, 2);
    else if (strcmp(interface, wl_output_interface.name) == 0 && outputCount < 8)
        outputs[outputCount++] = wl_registry_bind(r, name, &wl_output_interface, 1);
}
static void globalRemove(void* d, struct wl_registry* r, uint32_t name) { (void)d, (void)r, (void)name; }
static const struct wl_registry_listener registryListener = {global, globalRemove};

int main(int argc, char** argv) {
    const char* title = argc > 1 ? argv[1] : "recorder";
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "recorder: no Wayland display\n");
        return 1;
    }
    xkbContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, NULL);
    wl_display_roundtrip(display);
    if (!compositor || !shm || !wmBase || !seat) {
        fprintf(stderr, "recorder: the compositor lacks a needed global\n");
        return 1;
    }
    static int boxes[8][4];
    if (outputManager) {
        for (int i = 0; i < outputCount; ++i)
            zxdg_output_v1_add_listener(zxdg_output_manager_v1_get_xdg_output(outputManager, outputs[i]),
                                        &xdgOutputListener, boxes[i]);
        wl_display_roundtrip(display);
        for (int i = 0; i < outputCount; ++i)
            say("output %d %d %d %d", boxes[i][0], boxes[i][1], boxes[i][2], boxes[i][3]);
    }
    xdg_wm_base_add_listener(wmBase, &wmListener, NULL);
    surface = wl_compositor_create_surface(compositor);
    xdgSurface = xdg_wm_base_get_xdg_surface(wmBase, surface);
    xdg_surface_add_listener(xdgSurface, &surfaceListener, NULL);
    toplevel = xdg_surface_get_toplevel(xdgSurface);
    xdg_toplevel_add_listener(toplevel, &toplevelListener, NULL);
    xdg_toplevel_set_title(toplevel, title);
    xdg_toplevel_set_app_id(toplevel, title);
    wl_surface_commit(surface);
    while (wl_display_dispatch(display) >= 0) {
    }
    return 0;
}
