// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

namespace vemdo {

// One running server per user: an exclusive flock on a file next to the defaults store, held until the
// process ends (the system drops it then, even after a crash).
class SingleInstanceLock {
public:
    enum class Outcome { acquired, heldByAnother, failed };

    // Creates the file (and its directory) when needed and tries the lock without waiting.
    explicit SingleInstanceLock(const std::filesystem::path& file);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    Outcome outcome() const { return m_outcome; }
    // For heldByAnother: the holder's process id as it wrote it, or 0. For failed: what went wrong.
    long holder() const { return m_holder; }
    const std::string& error() const { return m_error; }

    // configDirectory()/"instance.lock", or empty when there is no configuration directory.
    static std::filesystem::path defaultFile();

private:
    int m_fd = -1;
    Outcome m_outcome = Outcome::failed;
    long m_holder = 0;
    std::string m_error;
};

} // namespace vemdo
