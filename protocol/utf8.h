// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vemdo {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Decodes the scalar that starts at `index` and moves `index` past it. A sequence that is not strict UTF-8
// yields no scalar and moves one byte on, so a walk over any bytes ends and skips only what is malformed.
// `index` must be below the size of `text`.
std::optional<char32_t> nextUtf8Scalar(std::string_view text, std::size_t& index);

} // namespace vemdo
