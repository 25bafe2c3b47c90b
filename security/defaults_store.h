// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemdo {

// The per-user store of byte-string values by key. Safe to use from any thread.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    // The value under key, or none when the key is absent or the store cannot be read.
    virtual std::optional<std::string> data(std::string_view key) const = 0;
    // Replaces the value under key; the change persists across runs. False when it could not be written,
    // in which case the earlier value stays.
    virtual bool setData(std::string_view key, std::string_view value) = 0;
};

} // namespace vemdo
