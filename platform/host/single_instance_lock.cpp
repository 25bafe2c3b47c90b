// SPDX-License-Identifier: MIT
#include "platform/host/single_instance_lock.h"

#include "platform/host/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vemdo {

SingleInstanceLock::SingleInstanceLock(const std::filesystem::path& file) {
    if (file.empty()) {
        m_error = "no configuration directory";
        return;
    }
    std::error_code error;
    if (!std::filesystem::exists(file.parent_path(), error)) {
        std::filesystem::create_directories(file.parent_path(), error);
        if (error) {
            m_error = file.parent_path().string() + ": " + error.message();
            return;
        }
        ::chmod(file.parent_path().c_str(), 0700);
    }
    m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = file.string() + ": " + std::strerror(errno);
        return;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            m_outcome = Outcome::heldByAnother;
            char buffer[32] = {};
            const auto got = ::pread(m_fd, buffer, sizeof buffer - 1, 0);
            if (got > 0)
                m_holder = std::strtol(buffer, nullptr, 10);
        } else {
            m_error = file.string() + ": " + std::strerror(errno);
        }
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_outcome = Outcome::acquired;
    // The process id is only a courtesy for the message a second start prints; failing to write it
    // changes nothing about the lock.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(m_fd, 0) == 0) {
        [[maybe_unused]] auto written = ::pwrite(m_fd, pid.data(), pid.size(), 0);
    }
}

SingleInstanceLock::~SingleInstanceLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::filesystem::path SingleInstanceLock::defaultFile() {
    const auto directory = platform::configDirectory();
    if (directory.empty())
        return {};
    return directory / "instance.lock";
}

} // namespace vemdo
