// SPDX-License-Identifier: MIT
#pragma once

// A private Xvfb per test and the event recorder client, for the X11 input tests.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace vemdo::testing {

// Reads whole lines from a child's pipe, waiting at most until a deadline.
class LineReader {
public:
    explicit LineReader(int fd = -1) : m_fd(fd) {}

    // Reads until `done` holds for the lines read so far, the pipe closes or `seconds` pass.
    bool readUntil(const std::function<bool(const std::vector<std::string>&)>& done, double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done(m_lines)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_fd < 0)
                return false;
            pollfd entry{m_fd, POLLIN, 0};
            if (poll(&entry, 1, int(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t got = read(m_fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(m_fd);
                m_fd = -1;
                return done(m_lines);
            }
            m_pending.append(buffer, std::size_t(got));
            for (std::size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
                m_lines.push_back(m_pending.substr(0, end));
                m_pending.erase(0, end + 1);
            }
        }
        return true;
    }

    const std::vector<std::string>& lines() const { return m_lines; }
    void clear() { m_lines.clear(); }
    void closeFd() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
    std::string m_pending;
    std::vector<std::string> m_lines;
};

inline void stopChild(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
}

// An Xvfb on a free display number, kept until destruction. -noreset keeps the server (and the pointer)
// as it is when the last client leaves.
class XvfbServer {
public:
    XvfbServer() = default;
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer() { stopChild(m_pid); }

    bool start(int width, int height, std::string& error) {
        int fds[2];
        if (pipe(fds) != 0) {
            error = "pipe failed";
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
            // A test that crashes must not leave its server behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(fds[0]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            std::string fd = std::to_string(fds[1]);
            std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
                   screen.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (m_pid < 0) {
            close(fds[0]);
            error = "fork failed";
            return false;
        }
        LineReader reader(fds[0]);
        bool ready = reader.readUntil([](const auto& lines) { return !lines.empty(); }, 20);
        reader.closeFd();
        if (!ready) {
            stopChild(m_pid);
            error = "Xvfb could not be started (is it installed?)";
            return false;
        }
        m_display = ":" + reader.lines().front();
        return true;
    }

    const std::string& displayName() const { return m_display; }
    void stop() { stopChild(m_pid); }

    // Runs a shell command with DISPLAY set to this server; true when it exits with 0.
    bool run(const std::string& command) const {
        std::string line = "DISPLAY=" + m_display + " " + command + " >/dev/null 2>&1";
        return std::system(line.c_str()) == 0;
    }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// The x_event_recorder client on a display; its lines are read through `output`.
class EventRecorder {
public:
    EventRecorder() = default;
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;
    ~EventRecorder() {
        stopChild(m_pid);
        output.closeFd();
    }

    bool start(const std::string& program, const std::string& display) {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(fds[0]);
            dup2(fds[1], STDOUT_FILENO);
            setenv("DISPLAY", display.c_str(), 1);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        output = LineReader(fds[0]);
        bool ready = output.readUntil([](const auto& lines) { return !lines.empty() && lines.back() == "ready"; }, 20);
        output.clear();
        return ready;
    }

    LineReader output;

private:
    pid_t m_pid = -1;
};

} // namespace vemdo::testing
