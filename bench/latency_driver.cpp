// SPDX-License-Identifier: MIT
// Drives a running server (or the floor forwarder) on 127.0.0.1 the way a phone does and watches the X
// server for the motion it causes. One JSON object on standard output per run; progress and errors on
// standard error. bench/e2e.py runs it inside a private network namespace next to its own Xvfb.
//
//   latency_driver pair --port N --code CODE [--device-id ID] [--path ws]
//   latency_driver latency --port N --path tcp|udp|ws [--code CODE | --token T] [--rate 500] [--seconds 3]
//                  (ws: the browser page's road, --token is the secret its pairing gave; the JSON also holds
//                  the exchange's time, exchange_us)
//                  (neither --code nor --token: the peer is a floor forwarder)
//   latency_driver throughput --port N (--code CODE | --token T) --server-pid P [--xvfb-pid P] [--count N] [--blasts 3]
//                  [--steps 2000,5000,...] [--step-seconds 1] [--keep-up-ms 10]
//   latency_driver memory --port N (--code CODE | --token T) --server-pid P [--connections 100]
//                  [--messages 1000000] [--checkpoint 200000] [--window 1000]
//
// Every message is a relative move. Message i takes the pointer to x0 + 2 * ((i + 1) mod period) on a
// fixed row (the server doubles deltas), so each message yields a pointer position different from the
// one before, and an X event is matched to its message by position and order: no message can be taken
// for another unless a whole period of them is lost in a row. Before a run the pointer is warped to
// (x0, y0) and left alone for longer than the server's resync pause, so the server starts from there.
#include "protocol/packet.h"
#include "security/pake_exchange.h"
#include "security/random_source.h"

#include <X11/Xlib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int period = 800;
constexpr int startX = 100;
constexpr int startY = 500;
// Longer than the server's pause after which it reads the real pointer position again.
constexpr double settleSeconds = 0.6;

std::int64_t nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntil(std::int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleepSeconds(double s) {
    sleepUntil(nowNs() + std::int64_t(s * 1e9));
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

int offsetOf(std::size_t i) {
    return int((i + 1) % period);
}

int deltaOf(std::size_t i) {
    return offsetOf(i) - (i == 0 ? 0 : offsetOf(i - 1));
}

std::string moveLine(std::size_t i) {
    char line[96];
    int n =
        std::snprintf(line, sizeof line, "{\"kind\":\"move\",\"dx\":%d,\"dy\":0,\"timestamp\":%zu}\n", deltaOf(i), i);
    return std::string(line, std::size_t(n));
}

vemdo::Packet::Datagram moveDatagram(std::size_t i) {
    vemdo::Packet move;
    move.dx = float(deltaOf(i));
    move.dy = 0;
    move.timestamp = i;
    return *move.encodeDatagram();
}

// -- /proc -------------------------------------------------------------------------------------------------

// VmRSS, or with field "VmHWM:" the peak resident size.
long residentKilobytes(int pid, const std::string& field = "VmRSS:") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(field.size()));
    }
    fail("no " + field + " for pid " + std::to_string(pid));
}

// utime + stime in seconds.
double cpuSeconds(int pid) {
    if (pid <= 0)
        return 0;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos)
        fail("cannot read /proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime and stime are 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// -- sockets -----------------------------------------------------------------------------------------------

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class TcpConnection {
public:
    explicit TcpConnection(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(port);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection() { ::close(m_fd); }

    // The browser page's road: an HTTP upgrade to a WebSocket on the page's port, the exchange (see
    // exchange()), then one sealed binary frame per message in each direction.
    static std::unique_ptr<TcpConnection> webSocket(int port) {
        auto connection = std::make_unique<TcpConnection>(port);
        const std::string host = "127.0.0.1:" + std::to_string(port);
        connection->send("GET /ws HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos)
            head += connection->readLine() + "\n";
        if (head.rfind("HTTP/1.1 101", 0) != 0)
            fail("WebSocket refused: " + head.substr(0, head.find('\r')));
        connection->m_webSocket = true;
        return connection;
    }

    // The page's side of the exchange with a pairing code ("pair") or a secret ("secret"), the way the page
    // binds it; the secret when pairing.
    std::string exchange(int port, const std::string& mode, const std::string& deviceId, const std::string& password) {
        KernelRandom random;
        vemdo::PakeInitiator initiator(
            vemdo::Bytes(password.begin(), password.end()), {std::to_string(port), "127.0.0.1:" + std::to_string(port)},
            vemdo::cpace::lvCat({vemdo::cpace::bytesOf(mode), vemdo::cpace::bytesOf(deviceId)}), random);
        auto share = initiator.readHello(vemdo::cpace::bytesOf(readLine()));
        sendFrame(share.value_or(vemdo::Bytes{}));
        auto confirmation = initiator.readReply(vemdo::cpace::bytesOf(readLine()));
        sendFrame(confirmation.value_or(vemdo::Bytes{}));
        m_channel = initiator.readConfirmation(vemdo::cpace::bytesOf(readLine()));
        if (!m_channel)
            fail("the exchange failed");
        if (mode != "pair")
            return {};
        auto reply = vemdo::Packet::decodeJson(readLine());
        if (!reply || !reply->token)
            fail("no secret after pairing");
        return *reply->token;
    }

    void send(std::string_view bytes) {
        if (!m_webSocket)
            return sendRaw(bytes);
        for (std::size_t end; (end = bytes.find('\n')) != std::string_view::npos; bytes.remove_prefix(end + 1))
            sendFrame(m_channel->outgoing.seal(vemdo::cpace::bytesOf(bytes.substr(0, end))));
    }

    // A masked binary frame (a zero mask leaves the payload as it is).
    void sendFrame(const vemdo::Bytes& payload) {
        std::string frame(1, char(0x82));
        if (payload.size() < 126) {
            frame += char(0x80 | payload.size());
        } else {
            frame += char(0x80 | 126);
            frame += char(payload.size() >> 8);
            frame += char(payload.size() & 0xFF);
        }
        frame.append(4, '\0').append(payload.begin(), payload.end());
        sendRaw(frame);
    }

    void sendRaw(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail(std::string("tcp send: ") + std::strerror(errno));
            bytes.remove_prefix(std::size_t(n));
        }
    }

    // One reply: a line, or on a WebSocket one frame's payload, opened once the exchange is done (replies are
    // short, unmasked frames).
    std::string readLine(int timeoutMs = 10000) {
        const std::int64_t deadline = nowNs() + std::int64_t(timeoutMs) * 1'000'000;
        for (;;) {
            const std::size_t start = m_pending.size() >= 2 && (m_pending[1] & 0x7F) == 126 ? 4 : 2;
            if (m_webSocket && m_pending.size() >= start) {
                const std::size_t length =
                    start == 4 ? std::size_t(std::uint8_t(m_pending[2])) << 8 | std::uint8_t(m_pending[3])
                               : std::size_t(m_pending[1] & 0x7F);
                if (m_pending.size() >= start + length) {
                    std::string payload = m_pending.substr(start, length);
                    if (std::uint8_t(m_pending[0]) == 0x88)
                        fail("the server closed the WebSocket");
                    m_pending.erase(0, start + length);
                    if (!m_channel)
                        return payload;
                    auto opened = m_channel->incoming.open(vemdo::cpace::bytesOf(payload));
                    if (!opened)
                        fail("a frame did not open");
                    return std::string(opened->begin(), opened->end());
                }
            } else if (auto end = m_pending.find('\n'); !m_webSocket && end != std::string::npos) {
                std::string line = m_pending.substr(0, end);
                m_pending.erase(0, end + 1);
                return line;
            }
            int left = int((deadline - nowNs()) / 1'000'000);
            pollfd p{m_fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                fail("no reply from the server");
            char buffer[4096];
            ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                fail("the server closed the connection");
            m_pending.append(buffer, std::size_t(n));
        }
    }

private:
    class KernelRandom final : public vemdo::RandomSource {
    public:
        void fill(std::span<std::uint8_t> bytes) override {
            if (::getrandom(bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
                fail("getrandom");
        }
    };

    int m_fd = -1;
    bool m_webSocket = false;
    std::string m_pending;
    std::optional<vemdo::SealedChannel> m_channel;
};

vemdo::Packet request(TcpConnection& connection, const vemdo::Packet& packet) {
    connection.send(*packet.encodeJson() + "\n");
    auto reply = vemdo::Packet::decodeJson(connection.readLine());
    if (!reply)
        fail("undecodable reply");
    return *reply;
}

std::string pair(int port, const std::string& deviceId, const std::string& code) {
    TcpConnection connection(port);
    vemdo::Packet packet;
    packet.kind = vemdo::Kind::pairRequest;
    packet.timestamp = 1;
    packet.deviceID = deviceId;
    packet.pairingCode = code;
    vemdo::Packet reply = request(connection, packet);
    if (reply.kind != vemdo::Kind::pairResponse || !reply.success.value_or(false) || !reply.token)
        fail("pairing refused: " + reply.message.value_or("?"));
    return *reply.token;
}

// Also the way to wait until the server has handled everything sent before on this connection: replies
// come in order, after every message before them.
void authenticate(TcpConnection& connection, const std::string& deviceId, const std::string& token) {
    vemdo::Packet packet;
    packet.kind = vemdo::Kind::auth;
    packet.timestamp = 1;
    packet.deviceID = deviceId;
    packet.token = token;
    vemdo::Packet reply = request(connection, packet);
    if (reply.kind != vemdo::Kind::auth || !reply.success.value_or(false))
        fail("authentication refused: " + reply.message.value_or("?"));
}

// -- the X side --------------------------------------------------------------------------------------------

struct MotionEvent {
    std::int64_t ns;
    int x;
    int y;
};

// Its own connection and thread: records the arrival time and root position of every pointer motion.
// The events live in storage reserved up front, published by an atomic count, so the driver reads them
// while recording goes on.
class MotionRecorder {
public:
    explicit MotionRecorder(std::size_t capacity) : m_events(capacity) {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            fail("cannot open the X display");
        XSelectInput(m_display, DefaultRootWindow(m_display), PointerMotionMask);
        XSync(m_display, False);
        m_thread = std::thread([this] { run(); });
    }
    MotionRecorder(const MotionRecorder&) = delete;
    MotionRecorder& operator=(const MotionRecorder&) = delete;
    ~MotionRecorder() {
        m_stop = true;
        m_thread.join();
        XCloseDisplay(m_display);
    }

    std::size_t count() const { return m_count.load(std::memory_order_acquire); }
    const MotionEvent& operator[](std::size_t i) const { return m_events[i]; }
    bool overflowed() const { return m_overflow.load(); }

private:
    void run() {
        pollfd p{ConnectionNumber(m_display), POLLIN, 0};
        while (!m_stop) {
            if (XPending(m_display) == 0) {
                ::poll(&p, 1, 20);
                continue;
            }
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type != MotionNotify)
                continue;
            const std::int64_t at = nowNs();
            std::size_t n = m_count.load(std::memory_order_relaxed);
            if (n == m_events.size()) {
                m_overflow = true;
                continue;
            }
            m_events[n] = {at, event.xmotion.x_root, event.xmotion.y_root};
            m_count.store(n + 1, std::memory_order_release);
        }
    }

    Display* m_display = nullptr;
    std::vector<MotionEvent> m_events;
    std::atomic<std::size_t> m_count{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_overflow{false};
    std::thread m_thread;
};

// Puts the pointer at the start of the pattern and waits out the server's resync pause.
void placePointer() {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        fail("cannot open the X display");
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, startX, startY);
    XSync(display, False);
    XCloseDisplay(display);
    sleepSeconds(settleSeconds);
}

// Pairs X events with the messages that caused them, in order.
class Matcher {
public:
    Matcher(const MotionRecorder& recorder, std::int64_t since, std::size_t messages)
        : m_recorder(recorder), m_since(since), m_latencyNs(messages, -1) {}

    // Consumes the events recorded so far; the send times are those of the messages already sent.
    void consume(const std::vector<std::int64_t>& sentNs) {
        for (std::size_t n = m_recorder.count(); m_next < n; ++m_next) {
            const MotionEvent& event = m_recorder[m_next];
            if (event.ns < m_since)
                continue;
            int dx = event.x - startX;
            if (event.y != startY || dx < 0 || dx % 2 != 0 || dx / 2 >= period) {
                ++m_unexpected;
                continue;
            }
            int offset = dx / 2;
            std::size_t i = m_cursor + std::size_t(((offset - offsetOf(m_cursor)) % period + period) % period);
            if (i >= m_latencyNs.size()) {
                ++m_unexpected;
                continue;
            }
            m_latencyNs[i] = event.ns - (sentNs.empty() ? m_since : sentNs[i]);
            m_lastArrivalNs = event.ns;
            ++m_matched;
            m_cursor = i + 1;
        }
    }

    bool complete() const { return m_cursor == m_latencyNs.size(); }
    std::size_t matched() const { return m_matched; }
    std::size_t unexpected() const { return m_unexpected; }
    std::int64_t lastArrivalNs() const { return m_lastArrivalNs; }
    std::size_t recordedSoFar() const { return m_next; }

    std::vector<std::int64_t> latencies() const {
        std::vector<std::int64_t> found;
        for (std::int64_t l : m_latencyNs)
            if (l >= 0)
                found.push_back(l);
        std::sort(found.begin(), found.end());
        return found;
    }

    // Waits until the last message has shown, or nothing new has come for idleSeconds.
    void waitForAll(const std::vector<std::int64_t>& sentNs, double idleSeconds) {
        std::int64_t lastProgress = nowNs();
        std::size_t seen = m_next;
        for (;;) {
            consume(sentNs);
            if (complete())
                return;
            if (m_next != seen) {
                seen = m_next;
                lastProgress = nowNs();
            } else if (nowNs() - lastProgress > std::int64_t(idleSeconds * 1e9)) {
                return;
            }
            sleepSeconds(0.0005);
        }
    }

private:
    const MotionRecorder& m_recorder;
    std::int64_t m_since;
    std::vector<std::int64_t> m_latencyNs;
    std::size_t m_next = 0;
    std::size_t m_cursor = 0;
    std::size_t m_matched = 0;
    std::size_t m_unexpected = 0;
    std::int64_t m_lastArrivalNs = 0;
};

double percentileUs(const std::vector<std::int64_t>& sorted, double q) {
    if (sorted.empty())
        return -1;
    auto rank = std::size_t(std::ceil(q * double(sorted.size())));
    return double(sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)]) / 1000.0;
}

// -- options and JSON --------------------------------------------------------------------------------------

struct Options {
    std::string command;
    int port = 0;
    std::string deviceId = "latency-driver";
    std::string code;
    std::string token;
    std::string path = "tcp";
    double rate = 500;
    double seconds = 3;
    long count = 100000;
    int blasts = 3;
    std::vector<double> steps = {2000, 5000, 10000, 20000, 40000, 80000};
    double stepSeconds = 1;
    double keepUpMs = 10;
    int serverPid = 0;
    int xvfbPid = 0;
    int connections = 100;
    long messages = 1000000;
    long checkpoint = 200000;
    long window = 1000;
};

class Json {
public:
    Json& add(const std::string& key, double value) {
        m_numbers[key] = value;
        char text[64];
        std::snprintf(text, sizeof text, "%.6g", value);
        return raw(key, text);
    }
    Json& add(const std::string& key, const std::string& value) {
        std::string quoted = "\"";
        quoted.append(value).push_back('"');
        return raw(key, quoted);
    }
    Json& raw(const std::string& key, const std::string& value) {
        m_text.push_back(m_text.empty() ? '{' : ',');
        m_text.push_back('"');
        m_text.append(key).append("\":").append(value);
        return *this;
    }
    std::string str() const { return m_text.empty() ? "{}" : m_text + "}"; }
    double number(const std::string& key) const {
        auto it = m_numbers.find(key);
        return it == m_numbers.end() ? -1 : it->second;
    }

private:
    std::string m_text;
    std::map<std::string, double> m_numbers;
};

void addLatencies(Json& json, const Matcher& matcher, std::size_t sent) {
    std::vector<std::int64_t> sorted = matcher.latencies();
    double sum = 0;
    for (auto l : sorted)
        sum += double(l);
    json.add("sent", double(sent))
        .add("matched", double(matcher.matched()))
        .add("lost", double(sent - matcher.matched()))
        .add("unexpected", double(matcher.unexpected()))
        .add("p50_us", percentileUs(sorted, 0.50))
        .add("p99_us", percentileUs(sorted, 0.99))
        .add("max_us", sorted.empty() ? -1 : double(sorted.back()) / 1000.0)
        .add("mean_us", sorted.empty() ? -1 : sum / double(sorted.size()) / 1000.0);
}

std::string tokenFor(const Options& options) {
    if (!options.token.empty())
        return options.token;
    if (options.code.empty())
        fail("--token or --code is needed");
    return pair(options.port, options.deviceId, options.code);
}

// Sends count messages at the given rate, each by itself, and returns when all have shown or stopped
// coming. The send time of a message is taken just before its send call.
template <typename Send> Json pacedRun(double rate, std::size_t count, bool keepSamples, Send sendOne) {
    MotionRecorder recorder(count + 4096);
    placePointer();
    std::vector<std::int64_t> sent(count, 0);
    const std::int64_t start = nowNs();
    Matcher matcher(recorder, start, count);
    const double intervalNs = 1e9 / rate;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t due = start + std::int64_t(double(i) * intervalNs);
        if (nowNs() < due)
            sleepUntil(due);
        sent[i] = nowNs();
        sendOne(i);
    }
    const std::int64_t sendEnd = nowNs();
    matcher.waitForAll(sent, 2.0);
    Json json;
    json.add("rate_requested", rate)
        .add("rate_sent", count > 1 ? double(count - 1) * 1e9 / double(sendEnd - start) : 0);
    addLatencies(json, matcher, count);
    if (keepSamples) {
        // Every arrived message's latency, so that runs can be pooled.
        std::string samples = "[";
        char text[32];
        for (std::int64_t l : matcher.latencies()) {
            std::snprintf(text, sizeof text, "%s%.1f", samples.size() > 1 ? "," : "", double(l) / 1000.0);
            samples += text;
        }
        json.raw("samples_us", samples + "]");
    }
    if (recorder.overflowed())
        json.add("note", std::string("recorder overflow"));
    return json;
}

int latencyCommand(const Options& options) {
    // Without a token or code the peer is a floor forwarder, which takes moves without authentication.
    std::unique_ptr<TcpConnection> control;
    double exchangeUs = -1;
    if (options.path == "ws") {
        control = TcpConnection::webSocket(options.port);
        const std::int64_t start = nowNs();
        control->exchange(options.port, "secret", options.deviceId, options.token);
        exchangeUs = double(nowNs() - start) / 1000.0;
    } else if (options.path == "tcp" || !options.token.empty() || !options.code.empty()) {
        control = std::make_unique<TcpConnection>(options.port);
        if (!options.token.empty() || !options.code.empty())
            authenticate(*control, options.deviceId, tokenFor(options));
    }
    const auto count = std::size_t(options.rate * options.seconds);
    Json json;
    if (options.path == "tcp" || options.path == "ws") {
        json = pacedRun(options.rate, count, true, [&](std::size_t i) { control->send(moveLine(i)); });
    } else if (options.path == "udp") {
        // The authenticated connection above stays open: the server takes datagrams only from its address.
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(options.port);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("udp socket");
        json = pacedRun(options.rate, count, true, [&](std::size_t i) {
            auto bytes = moveDatagram(i);
            if (::send(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size()))
                fail(std::string("udp send: ") + std::strerror(errno));
        });
        ::close(fd);
    } else {
        fail("--path is tcp, udp or ws");
    }
    json.add("path", options.path);
    if (exchangeUs >= 0)
        json.add("exchange_us", exchangeUs);
    std::printf("%s\n", json.str().c_str());
    return 0;
}

// Sends count moves as fast as the connection takes them, many per send call, and times the road from
// the first send to the last motion the X server reports.
Json blast(TcpConnection& connection, std::size_t count, int serverPid, int xvfbPid) {
    MotionRecorder recorder(count + 4096);
    placePointer();
    const double serverCpuBefore = cpuSeconds(serverPid), xvfbCpuBefore = cpuSeconds(xvfbPid);
    const std::int64_t start = nowNs();
    Matcher matcher(recorder, start, count);
    const std::vector<std::int64_t> noSendTimes;
    std::string chunk;
    for (std::size_t i = 0; i < count; ++i) {
        chunk += moveLine(i);
        if (chunk.size() > 16000 || i + 1 == count) {
            connection.send(chunk);
            chunk.clear();
        }
    }
    const std::int64_t sendEnd = nowNs();
    matcher.waitForAll(noSendTimes, 5.0);
    const double serverCpu = cpuSeconds(serverPid) - serverCpuBefore;
    const double xvfbCpu = cpuSeconds(xvfbPid) - xvfbCpuBefore;
    const double elapsed = double(matcher.lastArrivalNs() - start) / 1e9;
    Json json;
    json.add("count", double(count))
        .add("matched", double(matcher.matched()))
        .add("seconds", elapsed)
        .add("send_seconds", double(sendEnd - start) / 1e9)
        .add("messages_per_second", elapsed > 0 ? double(matcher.matched()) / elapsed : 0)
        .add("server_cpu_us_per_message", serverCpu * 1e6 / double(count))
        .add("xvfb_cpu_us_per_message", xvfbCpu * 1e6 / double(count));
    if (serverPid > 0)
        json.add("server_rss_kb", double(residentKilobytes(serverPid)))
            .add("server_peak_kb", double(residentKilobytes(serverPid, "VmHWM:")));
    return json;
}

int throughputCommand(const Options& options) {
    const std::string token = tokenFor(options);
    TcpConnection connection(options.port);
    authenticate(connection, options.deviceId, token);
    // A shared machine is busy at some moments: of several blasts the median one is the figure.
    std::vector<Json> blasts;
    for (int i = 0; i < options.blasts; ++i)
        blasts.push_back(blast(connection, std::size_t(options.count), options.serverPid, options.xvfbPid));
    std::sort(blasts.begin(), blasts.end(), [](const Json& a, const Json& b) {
        return a.number("messages_per_second") < b.number("messages_per_second");
    });
    std::string allBlasts = "[";
    for (const Json& b : blasts) {
        if (allBlasts.size() > 1)
            allBlasts.push_back(',');
        allBlasts.append(b.str());
    }
    allBlasts.push_back(']');
    const Json& blastJson = blasts[blasts.size() / 2];

    // Stepping the paced rate up: the last step at which every move arrives and the 99th percentile stays
    // under the bound is the rate the server keeps up with; the first step beyond it ends the climb.
    std::string steps = "[";
    double keptUp = 0;
    for (double rate : options.steps) {
        const double cpuBefore = cpuSeconds(options.serverPid);
        Json step = pacedRun(rate, std::size_t(rate * options.stepSeconds), false,
                             [&](std::size_t i) { connection.send(moveLine(i)); });
        const double cpu = cpuSeconds(options.serverPid) - cpuBefore;
        step.add("server_cpu_share", cpu / options.stepSeconds);
        if (steps.size() > 1)
            steps.push_back(',');
        steps.append(step.str());
        const auto field = [&](const std::string& key) { return step.number(key); };
        const bool keepsUp = field("lost") == 0 && field("p99_us") >= 0 && field("p99_us") <= options.keepUpMs * 1000 &&
                             field("rate_sent") >= 0.9 * rate;
        std::fprintf(stderr, "step %.0f/s: sent %.0f/s, p99 %.0f us, lost %.0f -> %s\n", rate, field("rate_sent"),
                     field("p99_us"), field("lost"), keepsUp ? "keeps up" : "falls behind");
        if (!keepsUp)
            break;
        keptUp = rate;
    }
    steps += "]";
    Json json;
    json.raw("blast", blastJson.str())
        .raw("blasts", allBlasts)
        .raw("steps", steps)
        .add("kept_up_rate", keptUp)
        .add("keep_up_ms", options.keepUpMs);
    std::printf("%s\n", json.str().c_str());
    return 0;
}

int memoryCommand(const Options& options) {
    if (options.serverPid <= 0)
        fail("--server-pid is needed");
    const long idle = residentKilobytes(options.serverPid);
    const std::string token = tokenFor(options);
    TcpConnection main(options.port);
    authenticate(main, options.deviceId, token);

    std::vector<std::unique_ptr<TcpConnection>> crowd;
    for (int i = 0; i < options.connections; ++i) {
        crowd.push_back(std::make_unique<TcpConnection>(options.port));
        // Authenticated, or the server would close all but the newest unauthenticated few.
        authenticate(*crowd.back(), options.deviceId, token);
    }
    sleepSeconds(0.5);
    const long withConnections = residentKilobytes(options.serverPid);
    crowd.clear();
    sleepSeconds(0.5);
    const long afterClose = residentKilobytes(options.serverPid);

    std::string checkpoints = "[";
    const double cpuBefore = cpuSeconds(options.serverPid);
    const std::int64_t start = nowNs();
    std::string chunk;
    for (long i = 0; i < options.messages; ++i) {
        chunk += moveLine(std::size_t(i));
        const bool checkpoint = (i + 1) % options.checkpoint == 0 || i + 1 == options.messages;
        const bool windowEnd = (i + 1) % options.window == 0;
        if (chunk.size() > 16000 || checkpoint || windowEnd) {
            main.send(chunk);
            chunk.clear();
        }
        // A phone never runs far ahead of the server; without this the backlog, and with it the buffers
        // that hold it, would grow with the sender's lead instead of showing what the server keeps.
        if (windowEnd && !checkpoint)
            authenticate(main, options.deviceId, token);
        if (checkpoint) {
            authenticate(main, options.deviceId, token);
            char entry[64];
            std::snprintf(entry, sizeof entry, "%s[%ld,%ld]", checkpoints.size() > 1 ? "," : "", i + 1,
                          residentKilobytes(options.serverPid));
            checkpoints += entry;
            std::fprintf(stderr, "%ld messages handled\n", i + 1);
        }
    }
    const double elapsed = double(nowNs() - start) / 1e9;
    const double cpu = cpuSeconds(options.serverPid) - cpuBefore;
    checkpoints += "]";
    Json json;
    json.add("idle_kb", double(idle))
        .add("connections", double(options.connections))
        .add("with_connections_kb", double(withConnections))
        .add("after_close_kb", double(afterClose))
        .raw("checkpoints", checkpoints)
        .add("peak_kb", double(residentKilobytes(options.serverPid, "VmHWM:")))
        .add("window", double(options.window))
        .add("messages", double(options.messages))
        .add("seconds", elapsed)
        .add("messages_per_second", double(options.messages) / elapsed)
        .add("server_cpu_us_per_message", cpu * 1e6 / double(options.messages));
    std::printf("%s\n", json.str().c_str());
    return 0;
}

Options parse(int argc, char** argv) {
    if (argc < 2)
        fail("usage: latency_driver pair|latency|throughput|memory --port N ... (see the source)");
    Options options;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string key = argv[i];
        if (i + 1 >= argc)
            fail(key + " needs a value");
        std::string value = argv[++i];
        if (key == "--port")
            options.port = std::stoi(value);
        else if (key == "--device-id")
            options.deviceId = value;
        else if (key == "--code")
            options.code = value;
        else if (key == "--token")
            options.token = value;
        else if (key == "--path")
            options.path = value;
        else if (key == "--rate")
            options.rate = std::stod(value);
        else if (key == "--seconds")
            options.seconds = std::stod(value);
        else if (key == "--count")
            options.count = std::stol(value);
        else if (key == "--blasts")
            options.blasts = std::stoi(value);
        else if (key == "--step-seconds")
            options.stepSeconds = std::stod(value);
        else if (key == "--keep-up-ms")
            options.keepUpMs = std::stod(value);
        else if (key == "--server-pid")
            options.serverPid = std::stoi(value);
        else if (key == "--xvfb-pid")
            options.xvfbPid = std::stoi(value);
        else if (key == "--connections")
            options.connections = std::stoi(value);
        else if (key == "--messages")
            options.messages = std::stol(value);
        else if (key == "--checkpoint")
            options.checkpoint = std::stol(value);
        else if (key == "--window")
            options.window = std::stol(value);
        else if (key == "--steps") {
            options.steps.clear();
            std::istringstream list(value);
            for (std::string item; std::getline(list, item, ',');)
                options.steps.push_back(std::stod(item));
        } else
            fail("unknown option " + key);
    }
    if (options.port <= 0)
        fail("--port is needed");
    if (options.rate <= 0 || options.seconds <= 0 || options.count <= 0 || options.blasts <= 0 ||
        options.checkpoint <= 0 || options.window <= 0)
        fail("rates, durations and counts must be positive");
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        XInitThreads();
        Options options = parse(argc, argv);
        if (options.command == "pair" && options.path == "ws") {
            const std::string secret =
                TcpConnection::webSocket(options.port)->exchange(options.port, "pair", options.deviceId, options.code);
            std::printf("{\"token\":\"%s\"}\n", secret.c_str());
            return 0;
        }
        if (options.command == "pair") {
            std::printf("{\"token\":\"%s\"}\n", pair(options.port, options.deviceId, options.code).c_str());
            return 0;
        }
        if (options.command == "latency")
            return latencyCommand(options);
        if (options.command == "throughput")
            return throughputCommand(options);
        if (options.command == "memory")
            return memoryCommand(options);
        fail("unknown command " + options.command);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "latency_driver: %s\n", e.what());
        return 1;
    }
}
