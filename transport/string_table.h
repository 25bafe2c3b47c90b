// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace vemdo {

// Localized texts by key. Where the user's language has no translation of a key, the default text is
// the answer. Read-only after construction, so any thread may use it.
class StringTable {
public:
    virtual ~StringTable() = default;
    virtual std::string text(std::string_view key, std::string_view defaultText) const = 0;
};

} // namespace vemdo
