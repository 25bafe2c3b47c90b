// SPDX-License-Identifier: MIT
#include "platform/string_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <unistd.h>

namespace vemdo {
namespace {

TEST(StringTables, ParsesTheTableForm) {
    auto table = parseStringsFile("// comment\n"
                                  "/* block\n comment */\n"
                                  "\"a.key\" = \"Value\";\n"
                                  "\"b\"=\"with \\\"quotes\\\", \\\\ and\\nline\";   \"c\" = \"\";\n");
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->size(), 3u);
    EXPECT_EQ(table->at("a.key"), "Value");
    EXPECT_EQ(table->at("b"), "with \"quotes\", \\ and\nline");
    EXPECT_EQ(table->at("c"), "");
}

TEST(StringTables, RejectsMalformedTables) {
    const char* cases[] = {
        "\"a\" = \"b\"",    // no semicolon
        "\"a\" \"b\";",     // no equals sign
        "\"a\" = \"b;\n",   // unterminated value
        "a = \"b\";",       // unquoted key
        "/* open comment",  // unterminated comment
        "\"a\" = \"\\q\";", // unknown escape
    };
    for (const char* text : cases)
        EXPECT_FALSE(parseStringsFile(text).has_value()) << text;
}

TEST(StringTables, PreferredLanguages) {
    struct Case {
        const char* language;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"", "", "", "", {}},
        {"", "", "", "tr_TR.UTF-8", {"tr_TR", "tr"}},
        {"", "", "de_DE@euro", "tr_TR.UTF-8", {"de_DE", "de"}},
        {"", "en_GB.UTF-8", "tr_TR", "tr_TR", {"en_GB", "en"}},
        {"tr:de", "", "", "en_US.UTF-8", {"tr", "de", "en_US", "en"}},
        // gettext ignores LANGUAGE under the C locale.
        {"tr", "C", "", "", {}},
        {"tr", "", "", "POSIX", {}},
        {"tr", "C.UTF-8", "", "", {}},
        {"tr_TR:tr", "", "", "tr_TR.UTF-8", {"tr_TR", "tr"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(preferredLanguages(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
            << c.language << "|" << c.lcAll << "|" << c.lcMessages << "|" << c.lang;
    }
}

class ShippedTables : public ::testing::Test {
protected:
    std::filesystem::path directory = std::filesystem::path(VEMDO_TEST_RESOURCES) / "strings";
};

const char* const allKeys[] = {
    "menu.pairing_code",
    "menu.refresh_code",
    "accessibility.refresh",
    "menu.status_header",
    "menu.server_running",
    "menu.server_stopped",
    "menu.no_connection",
    "menu.connected",
    "menu.security_header",
    "menu.accessibility_granted",
    "menu.accessibility_required",
    "menu.input_xwayland",
    "menu.input_kwin",
    "menu.input_unsupported",
    "menu.input_lost",
    "menu.input_awaiting",
    "menu.input_refused",
    "menu.open_settings",
    "menu.wifi_requirement",
    "menu.quit",
    "accessibility.permission_required",
    "accessibility.permission_message",
    "accessibility.message_xwayland",
    "accessibility.message_kwin",
    "accessibility.message_unsupported",
    "accessibility.message_lost",
    "accessibility.message_awaiting",
    "accessibility.message_refused",
    "accessibility.open_settings_button",
    "accessibility.cancel",
    "transport.tcp_error",
    "transport.udp_error",
    "pairing.success_message",
    "pairing.invalid_code",
};

TEST_F(ShippedTables, EveryKeyHasEnglishAndTurkishTexts) {
    for (const char* language : {"en", "tr"}) {
        std::ifstream in(directory / (std::string(language) + ".strings"));
        ASSERT_TRUE(in) << language;
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto table = parseStringsFile(content);
        ASSERT_TRUE(table.has_value()) << language;
        for (const char* key : allKeys)
            EXPECT_TRUE(table->contains(key)) << language << " lacks " << key;
        EXPECT_EQ(table->size(), std::size(allKeys)) << language;
        // Never translated, so never looked up.
        EXPECT_FALSE(table->contains("Vemdo Trackpad"));
        EXPECT_FALSE(table->contains("Launch at Login"));
        EXPECT_NE(table->at("menu.connected").find("%d"), std::string::npos) << language;
    }
}

TEST_F(ShippedTables, LookupFollowsTheLanguageThenEnglishThenTheDefault) {
    auto turkish = loadStringTables(directory, {"tr_TR", "tr"});
    EXPECT_EQ(turkish->text("menu.quit", "Quit"), "Çıkış");
    EXPECT_EQ(turkish->text("menu.connected", "x"), "%d Cihaz Bağlı");
    EXPECT_EQ(turkish->text("no.such.key", "Default"), "Default");

    auto english = loadStringTables(directory, {});
    EXPECT_EQ(english->text("menu.quit", "x"), "Quit");
    EXPECT_EQ(english->text("transport.tcp_error", "x"), "TCP Listener creation error");

    // A language without a table falls back to English.
    auto german = loadStringTables(directory, {"de_DE", "de"});
    EXPECT_EQ(german->text("menu.server_running", "x"), "Server Running");

    auto none = loadStringTables(std::filesystem::path(), {"tr"});
    EXPECT_EQ(none->text("menu.quit", "Quit"), "Quit");
}

TEST(StringTablesFiles, MalformedTableIsSkippedWhole) {
    auto directory = std::filesystem::temp_directory_path() / ("vemdo-strings-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "tr.strings") << "\"menu.quit\" = \"Çıkış\";\n\"menu.broken\" = \"x\"\n";
    std::ofstream(directory / "en.strings") << "\"menu.quit\" = \"Quit now\";\n";
    auto table = loadStringTables(directory, {"tr"});
    EXPECT_EQ(table->text("menu.quit", "Quit"), "Quit now");
    std::filesystem::remove_all(directory);
}

} // namespace
} // namespace vemdo
