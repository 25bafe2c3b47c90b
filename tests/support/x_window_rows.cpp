// SPDX-License-Identifier: MIT
// Prints one hash per pixel row of an X window's contents, so that a test can tell which rows of a menu
// changed between two moments without decoding pictures.
//
//   x_window_rows WINDOW_ID
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    Display* display = argc == 2 ? XOpenDisplay(nullptr) : nullptr;
    XWindowAttributes attributes{};
    const Window window = argc == 2 ? std::strtoul(argv[1], nullptr, 0) : 0;
    if (!display || !XGetWindowAttributes(display, window, &attributes)) {
        std::fprintf(stderr, "usage: x_window_rows WINDOW_ID (on the display named by DISPLAY)\n");
        return 2;
    }
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image)
        return 1;
    for (int y = 0; y < attributes.height; ++y) {
        unsigned long hash = 14695981039346656037UL;
        for (int x = 0; x < attributes.width; ++x)
            hash = (hash ^ XGetPixel(image, x, y)) * 1099511628211UL;
        std::printf("%016lx\n", hash);
    }
    XDestroyImage(image);
    XCloseDisplay(display);
    return 0;
}
