// SPDX-License-Identifier: MIT
#pragma once

// Child programs for the X11 input tests: a private Xvfb per test and the event recorder client, each
// read line by line from its standard output.

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

class ChildProcess {
public:
    using Lines = std::vector<std::string>;

    // Starts argv with its standard output on a pipe; environment entries "NAME=value" are added.
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            // A test that crashes must not leave its children behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            for (auto& entry : environment)
                putenv(entry.data());
            std::vector<char*> args;
            for (auto& arg : argv)
                args.push_back(arg.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        m_fd = fds[0];
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        stop();
        if (m_fd >= 0)
            close(m_fd);
    }

    void stop() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    // Reads until `done` holds for the lines read so far, the pipe closes or `seconds` pass.
    bool readUntil(const std::function<bool(const Lines&)>& done, double seconds = 10) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done(lines)) {
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
                return done(lines);
            }
            m_pending.append(buffer, std::size_t(got));
            for (std::size_t end; (end = m_pending.find('\n')) != std::string::npos; m_pending.erase(0, end + 1))
                lines.push_back(m_pending.substr(0, end));
        }
        return true;
    }

    Lines lines;

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_pending;
};

// An Xvfb on a free display number; -noreset keeps the pointer where it is when the last client leaves.
class XvfbServer {
public:
    XvfbServer(int width, int height)
        : m_process({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0",
                     std::to_string(width) + "x" + std::to_string(height) + "x24"}) {
        if (m_process.readUntil([](const auto& lines) { return !lines.empty(); }, 20))
            m_display = ":" + m_process.lines.front();
    }

    // Empty when the server did not start.
    const std::string& displayName() const { return m_display; }
    void stop() { m_process.stop(); }
    // Runs a shell command against this display; true when it exits with 0.
    bool run(const std::string& command) const {
        return std::system(("DISPLAY=" + m_display + " " + command + " >/dev/null 2>&1").c_str()) == 0;
    }

private:
    ChildProcess m_process;
    std::string m_display;
};

} // namespace vemdo::testing
