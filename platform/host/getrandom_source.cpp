// SPDX-License-Identifier: MIT
#include "platform/host/getrandom_source.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vemdo {

namespace {

[[noreturn]] void giveUp(const char* what, int error) {
    std::fprintf(stderr, "vemdo-trackpad: no secure random bytes (%s: %s)\n", what, std::strerror(error));
    std::abort();
}

// Only for kernels without getrandom(2) (before 3.17) or a seccomp filter that refuses it.
void fillFromDevice(std::uint8_t* out, std::size_t size) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        giveUp("/dev/urandom", errno);
    while (size > 0) {
        ssize_t n = ::read(fd, out, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            giveUp("/dev/urandom", n < 0 ? errno : EIO);
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace

void GetrandomSource::fill(std::span<std::uint8_t> bytes) {
    std::uint8_t* out = bytes.data();
    std::size_t size = bytes.size();
    // A single call returns at most 32 MiB - 1 and may be cut short by a signal: keep asking.
    while (size > 0) {
        ssize_t n = ::getrandom(out, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOSYS || errno == EPERM) {
                fillFromDevice(out, size);
                return;
            }
            giveUp("getrandom", errno);
        }
        out += n;
        size -= static_cast<std::size_t>(n);
    }
}

} // namespace vemdo
