// SPDX-License-Identifier: MIT
// The physical floor for the end-to-end latency figures: the least a program can do to turn a move
// into pointer motion. It reads one datagram (or, with --tcp, one line from one TCP connection, taking the
// numbers after "dx": and "dy":), adds twice the deltas to a tracked position, makes one XTest call and
// flushes; nothing else (no JSON decoding, no dispatch, no queue hop). The latency driver sends it the same
// bytes as the real server, so the ratio of the two is the server's overhead on that path.
//
//   floor_forwarder [--tcp] [--port N]   (listens on 127.0.0.1 only; 0 or nothing lets the system choose)
//
// Prints "Listening on port N" once ready. The position is read back from the X server only after half a
// second without datagrams, as the real server does, so that a pointer moved by someone else meanwhile is
// taken as the new start.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr double scale = 2;
constexpr double resyncAfterSeconds = 0.5;

float readFloat(const unsigned char* bytes) {
    std::uint32_t bits = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
                         std::uint32_t(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The number after `key` in a line; NaN when there is none.
float numberAfter(std::string_view line, std::string_view key) {
    const auto at = line.find(key);
    return at == std::string_view::npos ? NAN : std::strtof(line.data() + at + key.size(), nullptr);
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    bool tcp = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--tcp") == 0) {
            tcp = true;
        } else {
            std::fprintf(stderr, "usage: floor_forwarder [--tcp] [--port N]\n");
            return 2;
        }
    }

    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "floor_forwarder: cannot open the display\n");
        return 1;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) {
        std::fprintf(stderr, "floor_forwarder: the X server has no XTEST\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);

    int fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || (tcp && ::listen(fd, 1) != 0)) {
        std::perror("floor_forwarder: socket");
        return 1;
    }
    std::printf("Listening on port %u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);

    double x = 0, y = 0;
    double lastActivity = -1e9;
    auto move = [&](float dx, float dy) {
        double now = seconds();
        if (now - lastActivity >= resyncAfterSeconds) {
            Window rootReturn = 0, child = 0;
            int rootX = 0, rootY = 0, winX = 0, winY = 0;
            unsigned int mask = 0;
            if (XQueryPointer(display, root, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask)) {
                x = rootX;
                y = rootY;
            }
        }
        lastActivity = now;
        if (!std::isfinite(dx) || !std::isfinite(dy))
            return;
        x = std::clamp(x + scale * dx, 0.0, double(width - 1));
        y = std::clamp(y + scale * dy, 0.0, double(height - 1));
        XTestFakeMotionEvent(display, screen, int(x), int(y), CurrentTime);
        XFlush(display);
    };

    if (!tcp) {
        unsigned char bytes[16];
        for (;;) {
            if (::recv(fd, bytes, sizeof bytes, 0) >= 13 && bytes[0] == 1)
                move(readFloat(bytes + 1), readFloat(bytes + 5));
        }
    }
    // One connection at a time, each line as it completes.
    for (;;) {
        const int connection = ::accept(fd, nullptr, nullptr);
        std::string pending;
        char chunk[4096];
        for (ssize_t got; connection >= 0 && (got = ::read(connection, chunk, sizeof chunk)) > 0;) {
            pending.append(chunk, std::size_t(got));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                const std::string_view line(pending.data(), end);
                move(numberAfter(line, "\"dx\":"), numberAfter(line, "\"dy\":"));
            }
        }
        ::close(connection);
    }
}
