// SPDX-License-Identifier: MIT
#include "platform/headless_menu_presenter.h"
#include "platform/icon_names.h"

#include "transport/string_table.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vemdo {
namespace {

class DefaultsOnly final : public StringTable {
public:
    std::string text(std::string_view, std::string_view defaultText) const override { return std::string(defaultText); }
};

TEST(HeadlessBlock, ListsInformationLinesThenThePort) {
    DefaultsOnly strings;
    auto entries = buildMenuEntries({true, 3, false, "123456", LoginItemStatus::enabled}, strings);
    EXPECT_EQ(formatHeadlessBlock(entries, 40017), "Vemdo Trackpad\n"
                                                   "Pairing Code: 123456\n"
                                                   "STATUS\n"
                                                   "Server Running\n"
                                                   "3 Device(s) Connected\n"
                                                   "SECURITY\n"
                                                   "Accessibility Permission Required\n"
                                                   "iOS device must be on same Wi-Fi network\n"
                                                   "Listening on port 40017\n"
                                                   "\n");
    entries = buildMenuEntries({false, 0, true, std::nullopt}, strings);
    EXPECT_EQ(formatHeadlessBlock(entries, std::nullopt), "Vemdo Trackpad\n"
                                                          "Pairing Code: ------\n"
                                                          "STATUS\n"
                                                          "Server Stopped\n"
                                                          "Waiting for Device\n"
                                                          "SECURITY\n"
                                                          "Accessibility Permission Granted\n"
                                                          "iOS device must be on same Wi-Fi network\n"
                                                          "Not listening\n"
                                                          "\n");
}

TEST(HeadlessPresenter, PrintsOnlyWhenTheBlockChanges) {
    DefaultsOnly strings;
    std::ostringstream out;
    std::optional<std::uint16_t> port;
    HeadlessMenuPresenter presenter(out, [&port] { return port; });
    const auto stopped = buildMenuEntries({false, 0, true, "123456"}, strings);
    presenter.showEntries(stopped);
    const std::string first = out.str();
    EXPECT_NE(first.find("Not listening\n\n"), std::string::npos);
    presenter.showEntries(stopped);
    EXPECT_EQ(out.str(), first);
    // A new port alone is a change.
    port = 5000;
    presenter.showEntries(stopped);
    EXPECT_EQ(out.str().substr(first.size()).find("Listening on port 5000\n\n"),
              out.str().size() - first.size() - std::string("Listening on port 5000\n\n").size());
    const auto afterPort = out.str();
    presenter.showEntries(buildMenuEntries({false, 1, true, "123456"}, strings));
    EXPECT_NE(out.str().substr(afterPort.size()).find("1 Device(s) Connected\n"), std::string::npos);
    EXPECT_FALSE(presenter.hasStatusButton());
}

TEST(HeadlessAlerts, PrintTheTextsAndChooseNothing) {
    std::ostringstream out;
    TerminalAlertPresenter alerts(out);
    EXPECT_EQ(alerts.runModal({"Title", "Details", {"One", "Two"}}), -1);
    EXPECT_EQ(out.str(), "Title: Details\n");
    std::ostringstream noted;
    TerminalAlertPresenter withNote(noted, "See /usr/share/help.html");
    EXPECT_EQ(withNote.runModal({"Title", "Details", {"OK"}}), -1);
    EXPECT_EQ(noted.str(), "Title: Details\nSee /usr/share/help.html\n");
}

TEST(IconNames, EveryMenuSymbolHasAThemeName) {
    DefaultsOnly strings;
    for (bool trusted : {true, false}) {
        for (bool listening : {true, false}) {
            for (int clients : {0, 1}) {
                for (const auto& entry : buildMenuEntries({listening, clients, trusted, "123456"}, strings)) {
                    if (entry.icon) {
                        EXPECT_FALSE(freedesktopIconNames(entry.icon->name).empty()) << entry.icon->name;
                    }
                }
            }
        }
    }
    EXPECT_EQ(freedesktopIconNames("key.fill"),
              (std::vector<std::string>{"dialog-password-symbolic", "dialog-password"}));
    EXPECT_TRUE(freedesktopIconNames("no.such.symbol").empty());
}

} // namespace
} // namespace vemdo
