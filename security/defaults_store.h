// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemdo {

// The per-user store of byte-string values by key. Safe to use from any thread.
class DefaultsStore {
public:
    struct Read {
        // None when the key is absent, or when the store could not be read.
        std::optional<std::string> value;
        // The store could not be read this time (out of descriptors or memory, an I/O error): what it holds
        // is unknown, so an absent value says nothing.
        bool unavailable = false;
    };

    virtual ~DefaultsStore() = default;
    virtual Read read(std::string_view key) const = 0;
    // The value under key, or none when the key is absent or the store cannot be read.
    std::optional<std::string> data(std::string_view key) const { return read(key).value; }
    // Replaces the value under key; the change persists across runs. False when it could not be written,
    // in which case the earlier value stays.
    virtual bool setData(std::string_view key, std::string_view value) = 0;
};

} // namespace vemdo
