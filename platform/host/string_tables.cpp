// SPDX-License-Identifier: MIT
#include "platform/host/string_tables.h"

#include "platform/host/paths.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace vemdo {

namespace {

using Table = std::map<std::string, std::string, std::less<>>;

class LayeredStringTable final : public StringTable {
public:
    explicit LayeredStringTable(std::vector<Table> layers) : m_layers(std::move(layers)) {}

    std::string text(std::string_view key, std::string_view defaultText) const override {
        for (const auto& layer : m_layers) {
            if (auto it = layer.find(key); it != layer.end())
                return it->second;
        }
        return std::string(defaultText);
    }

private:
    std::vector<Table> m_layers;
};

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    std::optional<Table> parse() {
        Table table;
        while (true) {
            if (!skipSpaceAndComments())
                return std::nullopt;
            if (m_at >= m_text.size())
                return table;
            auto key = quoted();
            if (!key || !skipSpaceAndComments() || !take('='))
                return std::nullopt;
            if (!skipSpaceAndComments())
                return std::nullopt;
            auto value = quoted();
            if (!value || !skipSpaceAndComments() || !take(';'))
                return std::nullopt;
            table.insert_or_assign(std::move(*key), std::move(*value));
        }
    }

private:
    bool take(char c) {
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }

    // False on an unterminated block comment.
    bool skipSpaceAndComments() {
        while (m_at < m_text.size()) {
            const char c = m_text[m_at];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++m_at;
            } else if (m_text.substr(m_at, 2) == "//") {
                auto end = m_text.find('\n', m_at);
                m_at = end == std::string_view::npos ? m_text.size() : end + 1;
            } else if (m_text.substr(m_at, 2) == "/*") {
                auto end = m_text.find("*/", m_at + 2);
                if (end == std::string_view::npos)
                    return false;
                m_at = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    std::optional<std::string> quoted() {
        if (!take('"'))
            return std::nullopt;
        std::string result;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return result;
            if (c != '\\') {
                result.push_back(c);
                continue;
            }
            if (m_at >= m_text.size())
                return std::nullopt;
            switch (m_text[m_at++]) {
            case '"':
                result.push_back('"');
                break;
            case '\\':
                result.push_back('\\');
                break;
            case 'n':
                result.push_back('\n');
                break;
            case 't':
                result.push_back('\t');
                break;
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

void addLocaleName(std::vector<std::string>& languages, std::string_view name) {
    // language[_territory][.codeset][@modifier]: the codeset and modifier never name a different table.
    name = name.substr(0, std::min(name.find('.'), name.find('@')));
    if (name.empty() || name == "C" || name == "POSIX")
        return;
    auto add = [&languages](std::string candidate) {
        if (std::find(languages.begin(), languages.end(), candidate) == languages.end())
            languages.push_back(std::move(candidate));
    };
    add(std::string(name));
    if (auto underscore = name.find('_'); underscore != std::string_view::npos)
        add(std::string(name.substr(0, underscore)));
}

// One table in the "key" = "value"; form, with // and /* */ comments and the escapes \" \\ \n \t.
// Absent when the text is not in that form, so that a broken file does not half apply.
std::optional<Table> parseStringsFile(std::string_view content) {
    return Parser(content).parse();
}

} // namespace

std::vector<std::string> preferredLanguages(std::string_view language, std::string_view lcAll,
                                            std::string_view lcMessages, std::string_view lang) {
    std::string_view locale = !lcAll.empty() ? lcAll : !lcMessages.empty() ? lcMessages : lang;
    std::vector<std::string> languages;
    const std::string_view localeName = locale.substr(0, std::min(locale.find('.'), locale.find('@')));
    if (localeName == "C" || localeName == "POSIX")
        return languages;
    while (!language.empty()) {
        auto colon = language.find(':');
        addLocaleName(languages, language.substr(0, colon));
        language = colon == std::string_view::npos ? std::string_view() : language.substr(colon + 1);
    }
    addLocaleName(languages, locale);
    return languages;
}

std::vector<std::string> preferredLanguages() {
    return preferredLanguages(environment("LANGUAGE"), environment("LC_ALL"), environment("LC_MESSAGES"),
                              environment("LANG"));
}

std::unique_ptr<StringTable> loadStringTables(const std::filesystem::path& directory,
                                              const std::vector<std::string>& languages) {
    std::vector<std::string> order = languages;
    if (std::find(order.begin(), order.end(), "en") == order.end())
        order.emplace_back("en");
    std::vector<Table> layers;
    for (const auto& language : directory.empty() ? std::vector<std::string>() : order) {
        const auto file = directory / (language + ".strings");
        std::ifstream in(file, std::ios::binary);
        if (!in)
            continue;
        std::stringstream content;
        content << in.rdbuf();
        auto table = parseStringsFile(content.str());
        if (!table) {
            std::cerr << "vemdo-trackpad: ignoring malformed string table " << file.string() << '\n';
            continue;
        }
        layers.push_back(std::move(*table));
    }
    return std::make_unique<LayeredStringTable>(std::move(layers));
}

std::unique_ptr<StringTable> loadStringTables() {
    const auto resources = platform::resourceDirectory();
    if (resources.empty())
        return loadStringTables({}, {});
    return loadStringTables(resources / "strings", preferredLanguages());
}

} // namespace vemdo
