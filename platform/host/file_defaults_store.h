// SPDX-License-Identifier: MIT
#pragma once

#include "security/defaults_store.h"

#include <filesystem>
#include <mutex>

namespace vemdo {

// Values by key in one JSON file per user: a value that is valid UTF-8 is kept as a JSON string, any other
// byte string as {"base64": "..."}. The file holds tokens, so it is created 0600 and its directory, when
// created here, 0700.
//
// Every data() reads the file afresh, so the store always shows its own writes and any hand edit. Every
// setData() rewrites the whole file atomically (temporary file, fsync, rename, fsync of the directory)
// under an flock on the directory, so other processes on the same file neither see half a file nor lose
// each other's keys. A file that exists but cannot be understood is renamed aside (".corrupt", then
// ".corrupt.1", ...) with one warning on standard error before the first write replaces it; if it cannot
// be renamed, or the file cannot be read for a passing reason, nothing is written.
//
// Keys must be valid UTF-8 (setData refuses others). A relative path makes a store that reads nothing and
// refuses every write, so that no stray file lands in whatever directory the process started in.
// Thread-safe.
class FileDefaultsStore final : public DefaultsStore {
public:
    explicit FileDefaultsStore(std::filesystem::path file);

    Read read(std::string_view key) const override;
    bool setData(std::string_view key, std::string_view value) override;

private:
    std::filesystem::path m_file;
    mutable std::mutex m_mutex;
};

} // namespace vemdo
