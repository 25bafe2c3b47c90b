// SPDX-License-Identifier: MIT
#pragma once

#include "transport/string_table.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// The string tables of the resource folder in the user's language, falling back to English and then to
// each text's default.
std::unique_ptr<StringTable> loadStringTables();

// Tables from `directory` (files named <language>.strings) for the languages in order of preference;
// "en" is always consulted last. Missing or unreadable files are skipped.
std::unique_ptr<StringTable> loadStringTables(const std::filesystem::path& directory,
                                              const std::vector<std::string>& languages);

// The user's languages, most wanted first, as gettext picks them: the locale is the first set of LC_ALL,
// LC_MESSAGES and LANG; unless it is C or POSIX, the colon-separated LANGUAGE list comes before it.
// "tr_TR.UTF-8" gives "tr_TR" then "tr".
std::vector<std::string> preferredLanguages(std::string_view language, std::string_view lcAll,
                                            std::string_view lcMessages, std::string_view lang);
// The same from the process environment.
std::vector<std::string> preferredLanguages();

} // namespace vemdo
