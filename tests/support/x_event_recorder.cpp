// SPDX-License-Identifier: MIT
// A minimal X client for the input tests: a window covering the whole screen that takes the keyboard
// focus and prints every pointer and key event it receives, one line each, on standard output.
//
//   ready
//   button press|release N X Y STATE
//   motion X Y STATE
//   key press|release KEYCODE KEYSYM STATE TEXT_HEX
//
// Numbers are decimal except KEYSYM, STATE and TEXT_HEX (the UTF-8 bytes that Xutf8LookupString gives
// for a press, "-" when none), which are hexadecimal. Positions are root coordinates. An argument makes it
// a slow client: it sleeps that many microseconds after each event. It answers _NET_WM_PING, as toolkits do.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string hex(const char* bytes, int length) {
    if (length <= 0)
        return "-";
    std::string out;
    char digits[3];
    for (int i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
        out += digits;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const long pause = argc > 1 ? std::atol(argv[1]) : 0;
    std::setlocale(LC_ALL, "C.UTF-8");
    XSetLocaleModifiers("@im=none");
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "x_event_recorder: cannot open the display\n");
        return 1;
    }
    int screen = DefaultScreen(display);
    Window root = RootWindow(display, screen);

    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask =
        KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask;
    Window window =
        XCreateWindow(display, root, 0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen), 0,
                      CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);

    Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    XSetWMProtocols(display, window, &ping, 1);

    XIM inputMethod = XOpenIM(display, nullptr, nullptr, nullptr);
    XIC inputContext = inputMethod ? XCreateIC(inputMethod, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                               XNClientWindow, window, XNFocusWindow, window, nullptr)
                                   : nullptr;
    if (!inputContext) {
        std::fprintf(stderr, "x_event_recorder: no input context\n");
        return 1;
    }

    // Xlib loads its keyboard description, and asks to hear of map changes, only at the first key lookup.
    // Do that now, as a toolkit would at start-up; otherwise the first remaps after "ready" go unnoticed.
    XKeyEvent probe{};
    probe.type = KeyPress;
    probe.display = display;
    probe.window = window;
    probe.root = root;
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    probe.keycode = static_cast<unsigned int>(minKeycode);
    char ignored[8];
    XLookupString(&probe, ignored, sizeof ignored, nullptr, nullptr);

    XMapRaised(display, window);
    for (XEvent event;;) {
        XNextEvent(display, &event);
        if (event.type == MapNotify && event.xmap.window == window)
            break;
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSetICFocus(inputContext);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case ButtonPress:
        case ButtonRelease:
            std::printf("button %s %u %d %d %x\n", event.type == ButtonPress ? "press" : "release",
                        event.xbutton.button, event.xbutton.x_root, event.xbutton.y_root, event.xbutton.state);
            break;
        case MotionNotify:
            std::printf("motion %d %d %x\n", event.xmotion.x_root, event.xmotion.y_root, event.xmotion.state);
            break;
        case KeyPress:
        case KeyRelease: {
            char text[64];
            int length = 0;
            KeySym keysym = NoSymbol;
            if (event.type == KeyPress) {
                Status status = 0;
                length = Xutf8LookupString(inputContext, &event.xkey, text, sizeof text, &keysym, &status);
                if (status != XLookupChars && status != XLookupBoth)
                    length = 0;
            } else {
                XLookupString(&event.xkey, text, sizeof text, &keysym, nullptr);
            }
            std::printf("key %s %u %lx %x %s\n", event.type == KeyPress ? "press" : "release", event.xkey.keycode,
                        keysym, event.xkey.state, hex(text, length).c_str());
            break;
        }
        case ClientMessage:
            if (Atom(event.xclient.data.l[0]) == ping) {
                event.xclient.window = root;
                XSendEvent(display, root, False, SubstructureNotifyMask | SubstructureRedirectMask, &event);
            }
            break;
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            break;
        default:
            break;
        }
        std::fflush(stdout);
        if (pause > 0)
            usleep(useconds_t(pause));
    }
}
