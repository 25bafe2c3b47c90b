// SPDX-License-Identifier: MIT
// Prints one hash per pixel row of an X window's contents, so that a test can tell which rows of a menu
// changed between two moments without decoding pictures; with --image, writes the window as a PPM picture
// instead, for a reader such as zbarimg.
//
//   x_window_rows WINDOW_ID [--image FILE]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    const bool picture = argc == 4 && std::string_view(argv[2]) == "--image";
    Display* display = argc == 2 || picture ? XOpenDisplay(nullptr) : nullptr;
    XWindowAttributes attributes{};
    const Window window = display ? std::strtoul(argv[1], nullptr, 0) : 0;
    if (!display || !XGetWindowAttributes(display, window, &attributes)) {
        std::fprintf(stderr, "usage: x_window_rows WINDOW_ID [--image FILE] (on the display named by DISPLAY)\n");
        return 2;
    }
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image)
        return 1;
    if (picture) {
        std::FILE* out = std::fopen(argv[3], "wb");
        if (!out)
            return 1;
        std::fprintf(out, "P6\n%d %d\n255\n", attributes.width, attributes.height);
        for (int y = 0; y < attributes.height; ++y) {
            for (int x = 0; x < attributes.width; ++x) {
                const unsigned long pixel = XGetPixel(image, x, y);
                const unsigned char rgb[] = {static_cast<unsigned char>((pixel & image->red_mask) >> 16),
                                             static_cast<unsigned char>((pixel & image->green_mask) >> 8),
                                             static_cast<unsigned char>(pixel & image->blue_mask)};
                std::fwrite(rgb, 1, sizeof rgb, out);
            }
        }
        XDestroyImage(image);
        return std::fclose(out) == 0 ? 0 : 1;
    }
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
