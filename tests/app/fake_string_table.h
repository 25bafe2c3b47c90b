// SPDX-License-Identifier: MIT
#pragma once

#include "transport/string_table.h"

#include <initializer_list>
#include <map>
#include <string>

namespace vemdo::testing {

// Translations held in a map; keys without one answer with their default text.
class MapStringTable final : public StringTable {
public:
    MapStringTable() = default;
    MapStringTable(std::initializer_list<std::pair<const std::string, std::string>> texts) : m_texts(texts) {}
    std::string text(std::string_view key, std::string_view defaultText) const override {
        if (auto it = m_texts.find(key); it != m_texts.end())
            return it->second;
        return std::string(defaultText);
    }

private:
    std::map<std::string, std::string, std::less<>> m_texts;
};

} // namespace vemdo::testing
