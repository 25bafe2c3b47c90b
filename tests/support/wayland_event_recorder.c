// SPDX-License-Identifier: MIT
// A full-screen Wayland window that prints what it receives, one line per event, for the compositor tests:
//   ready                    the window is shown
//   enter X Y / motion X Y   pointer position in the window
//   button CODE 1|0          Linux button code, pressed or released
//   axis 0|1 VALUE           scroll, vertical (0) or horizontal (1); positive is down or right
//   discrete 0|1 N           wheel clicks
//   source N / stop 0|1      where a scroll comes from (0 wheel, 1 finger, ...); a scroll's end on an axis
//   key NAME 1|0 ctrl|-      keysym name through the keymap in force, pressed or released, Control held
//   text UTF8                what a press without Control types
// The argument is the window's title and application id.
#define _GNU_SOURCE
#include "xdg-shell-client-protocol.h"

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

static struct wl_compositor* compositor;
static struct wl_shm* shm;
static struct wl_seat* seat;
static struct xdg_wm_base* shell;
static struct wl_surface* surface;
static struct xkb_context* context;
static struct xkb_state* keys;
static int width = 640, height = 480;

static void enter(void* d, struct wl_pointer* p, uint32_t serial, struct wl_surface* s, wl_fixed_t x, wl_fixed_t y) {
    printf("enter %.0f %.0f\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void motion(void* d, struct wl_pointer* p, uint32_t time, wl_fixed_t x, wl_fixed_t y) {
    printf("motion %.0f %.0f\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void button(void* d, struct wl_pointer* p, uint32_t serial, uint32_t time, uint32_t code, uint32_t state) {
    printf("button %u %u\n", code, state);
}
static void axis(void* d, struct wl_pointer* p, uint32_t time, uint32_t which, wl_fixed_t value) {
    printf("axis %u %.0f\n", which, wl_fixed_to_double(value));
}
static void discrete(void* d, struct wl_pointer* p, uint32_t which, int32_t clicks) {
    printf("discrete %u %d\n", which, clicks);
}
static void source(void* d, struct wl_pointer* p, uint32_t source) {
    printf("source %u\n", source);
}
static void stop(void* d, struct wl_pointer* p, uint32_t time, uint32_t which) {
    printf("stop %u\n", which);
}
// Events the tests do not look at.
static void leave(void* d, struct wl_pointer* p, uint32_t serial, struct wl_surface* s) {}
static void frame(void* d, struct wl_pointer* p) {}
static void value120(void* d, struct wl_pointer* p, uint32_t which, int32_t value) {}
static const struct wl_pointer_listener pointerListener = {enter,  leave, motion,   button,  axis,
                                                           frame, source, stop, discrete, value120};

static void keymap(void* d, struct wl_keyboard* k, uint32_t format, int32_t fd, uint32_t size) {
    char* text = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    struct xkb_keymap* map = xkb_keymap_new_from_string(context, text, XKB_KEYMAP_FORMAT_TEXT_V1, 0);
    munmap(text, size);
    if (keys)
        xkb_state_unref(keys);
    keys = xkb_state_new(map);
    xkb_keymap_unref(map);
}
static void focus(void* d, struct wl_keyboard* k, uint32_t serial, struct wl_surface* s, struct wl_array* held) {}
static void key(void* d, struct wl_keyboard* k, uint32_t serial, uint32_t time, uint32_t code, uint32_t state) {
    char name[64], text[64];
    xkb_keysym_get_name(xkb_state_key_get_one_sym(keys, code + 8), name, sizeof name);
    int ctrl = xkb_state_mod_name_is_active(keys, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0;
    printf("key %s %u %s\n", name, state, ctrl ? "ctrl" : "-");
    if (state && !ctrl && xkb_state_key_get_utf8(keys, code + 8, text, sizeof text) > 0)
        printf("text %s\n", text);
}
static void modifiers(void* d, struct wl_keyboard* k, uint32_t serial, uint32_t down, uint32_t latched, uint32_t locked,
                      uint32_t group) {
    xkb_state_update_mask(keys, down, latched, locked, 0, 0, group);
}
static void unfocus(void* d, struct wl_keyboard* k, uint32_t serial, struct wl_surface* s) {}
static void repeat(void* d, struct wl_keyboard* k, int32_t rate, int32_t delay) {}
static const struct wl_keyboard_listener keyboardListener = {keymap, focus, unfocus, key, modifiers, repeat};

static void capabilities(void* d, struct wl_seat* s, uint32_t caps) {
    static struct wl_pointer* pointer;
    static struct wl_keyboard* keyboard;
    // A seat that loses its last device of a kind makes the object inert: the next device needs a new one.
    if (pointer && !(caps & WL_SEAT_CAPABILITY_POINTER))
        wl_pointer_release(pointer), pointer = NULL;
    if (keyboard && !(caps & WL_SEAT_CAPABILITY_KEYBOARD))
        wl_keyboard_release(keyboard), keyboard = NULL;
    if ((caps & WL_SEAT_CAPABILITY_POINTER) && !pointer)
        wl_pointer_add_listener(pointer = wl_seat_get_pointer(s), &pointerListener, NULL);
    if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !keyboard)
        wl_keyboard_add_listener(keyboard = wl_seat_get_keyboard(s), &keyboardListener, NULL);
}
static void seatName(void* d, struct wl_seat* s, const char* name) {}
static const struct wl_seat_listener seatListener = {capabilities, seatName};

static void ping(void* d, struct xdg_wm_base* b, uint32_t serial) {
    xdg_wm_base_pong(b, serial);
}
static const struct xdg_wm_base_listener shellListener = {ping};

static void configure(void* d, struct xdg_surface* s, uint32_t serial) {
    xdg_surface_ack_configure(s, serial);
    int fd = memfd_create("recorder", MFD_CLOEXEC), size = width * height * 4;
    if (ftruncate(fd, size) != 0)
        return;
    struct wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
    wl_surface_attach(surface, wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888),
                      0, 0);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_commit(surface);
    puts("ready");
}
static const struct xdg_surface_listener surfaceListener = {configure};

static void resize(void* d, struct xdg_toplevel* t, int32_t w, int32_t h, struct wl_array* states) {
    if (w > 0 && h > 0)
        width = w, height = h;
}
static void close_(void* d, struct xdg_toplevel* t) {}
static void bounds(void* d, struct xdg_toplevel* t, int32_t w, int32_t h) {}
static void wmCapabilities(void* d, struct xdg_toplevel* t, struct wl_array* caps) {}
static const struct xdg_toplevel_listener toplevelListener = {resize, close_, bounds, wmCapabilities};

static void global(void* d, struct wl_registry* r, uint32_t name, const char* interface, uint32_t version) {
    if (strcmp(interface, "wl_compositor") == 0)
        compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
    else if (strcmp(interface, "wl_shm") == 0)
        shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
    else if (strcmp(interface, "wl_seat") == 0 && !seat)
        wl_seat_add_listener(seat = wl_registry_bind(r, name, &wl_seat_interface, 5), &seatListener, NULL);
    else if (strcmp(interface, "xdg_wm_base") == 0)
        xdg_wm_base_add_listener(shell = wl_registry_bind(r, name, &xdg_wm_base_interface, 1), &shellListener, NULL);
}
static void globalRemove(void* d, struct wl_registry* r, uint32_t name) {}
static const struct wl_registry_listener registryListener = {global, globalRemove};

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    struct wl_display* display = wl_display_connect(NULL);
    if (!display)
        return fprintf(stderr, "recorder: no Wayland display\n"), 1;
    context = xkb_context_new(0);
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, NULL);
    wl_display_roundtrip(display);
    if (!compositor || !shm || !shell || !seat)
        return fprintf(stderr, "recorder: the compositor lacks a needed global\n"), 1;
    surface = wl_compositor_create_surface(compositor);
    struct xdg_surface* window = xdg_wm_base_get_xdg_surface(shell, surface);
    xdg_surface_add_listener(window, &surfaceListener, NULL);
    struct xdg_toplevel* toplevel = xdg_surface_get_toplevel(window);
    xdg_toplevel_add_listener(toplevel, &toplevelListener, NULL);
    xdg_toplevel_set_title(toplevel, argc > 1 ? argv[1] : "recorder");
    xdg_toplevel_set_app_id(toplevel, argc > 1 ? argv[1] : "recorder");
    xdg_toplevel_set_fullscreen(toplevel, NULL);
    wl_surface_commit(surface);
    while (wl_display_dispatch(display) >= 0) {
    }
    return 0;
}
