// SPDX-License-Identifier: MIT
#include "platform/headless_menu_presenter.h"
#include "platform/qt_ui_menu.h"
#include "platform/single_instance_lock.h"
#include "platform/string_tables.h"
#include "support/fakes.h"

#include <QApplication>
#include <QMenu>

#include <gtest/gtest.h>

#include <unistd.h>

namespace vemdo::testing {
namespace {

using Lines = std::vector<std::string>;

TEST(Terminal, StatusBlockIsPrintedWhenItChangesAndAlertsAsText) {
    std::ostringstream out;
    std::optional<std::uint16_t> port;
    std::string backend = "portal (asks you to allow remote control)";
    HeadlessMenuPresenter presenter(
        out, [&port] { return port; }, [&backend] { return backend; });
    const auto entries = buildMenuEntries({true, 3, false, "123456"}, FakeStrings{});
    presenter.showEntries(entries);
    presenter.showEntries(entries);
    port = 40017;
    backend = "portal"; // the user allowed it since the last block
    presenter.showEntries(entries);
    const std::string block = "Vemdo Trackpad\nPairing Code: 123456\nSTATUS\nServer Running\n3 Device(s) Connected\n"
                              "SECURITY\nAccessibility Permission Required\niOS device must be on same Wi-Fi network\n";
    EXPECT_EQ(out.str(), block + "Not listening\nInput backend: portal (asks you to allow remote control)\n\n" + block +
                             "Listening on port 40017\nInput backend: portal\n\n");

    std::ostringstream alerts;
    EXPECT_EQ(TerminalAlertPresenter(alerts, "See help.html").runModal({"Title", "Details", {"OK"}}), -1);
    EXPECT_EQ(alerts.str(), "Title: Details\nSee help.html\n");
}

TEST(QtMenu, EntriesBecomeActionsWithTextsStatesAndShortcuts) {
    static int argc = 1;
    static char name[] = "unit_tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance())
        new QApplication(argc, argv);
    QMenu menu;
    std::vector<MenuAction> chosen;
    fillMenu(menu, buildMenuEntries({true, 2, false, "123456", LoginItemStatus::enabled}, FakeStrings{}),
             [&chosen](MenuAction action) { chosen.push_back(action); });
    Lines shown;
    for (const QAction* action : menu.actions()) {
        const QString shortcut = action->shortcut().toString();
        if (action->isSeparator()) {
            shown.push_back("---");
            continue;
        }
        shown.push_back(action->text().toStdString() + (action->isEnabled() ? " [enabled]" : "") +
                        (shortcut.isEmpty() ? "" : " [" + shortcut.toStdString() + "]") +
                        (action->isCheckable() ? (action->isChecked() ? " [on]" : " [off]") : ""));
    }
    EXPECT_EQ(shown, (Lines{"Vemdo Trackpad", "---", "Pairing Code: 123456", "Generate New Code [enabled] [Ctrl+R]",
                            "---", "STATUS", "Server Running", "2 Device(s) Connected", "---", "SECURITY",
                            "Accessibility Permission Required", "Open System Settings [enabled]", "---",
                            "iOS device must be on same Wi-Fi network", "---", "Launch at Login [enabled] [on]", "---",
                            "Quit [enabled] [Ctrl+Q]"}));
    // A choice is handled from the event loop, once the action is done: the handler rebuilds the menu.
    menu.actions()[17]->trigger();
    menu.actions()[3]->trigger();
    EXPECT_TRUE(chosen.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, (std::vector<MenuAction>{MenuAction::quit, MenuAction::refreshPairingCode}));
}

TEST(StringTables, TheUsersLanguageThenEnglishThenTheDefault) {
    const std::tuple<const char*, const char*, const char*, Lines> languages[] = {
        {"", "", "tr_TR.UTF-8", {"tr_TR", "tr"}},
        {"tr:de", "", "en_US.UTF-8", {"tr", "de", "en_US", "en"}},
        {"tr", "C", "", {}}, // LANGUAGE does not count under the C locale
    };
    for (const auto& [language, lcAll, lang, expected] : languages)
        EXPECT_EQ(preferredLanguages(language, lcAll, "", lang), expected) << language << lcAll << lang;

    const auto shipped = loadStringTables(std::filesystem::path(VEMDO_TEST_RESOURCES) / "strings", {"tr_TR", "tr"});
    EXPECT_EQ(shipped->text("menu.quit", "Quit"), "Çıkış");
    EXPECT_EQ(shipped->text("no.such.key", "Default"), "Default");

    // A malformed table is skipped whole, never half applied.
    ScopedHome home;
    writeFile(home.path() / "de.strings", "\"menu.quit\" = \"Beenden\";\n\"menu.x\" = \"y\"\n");
    writeFile(home.path() / "tr.strings", "// comment\n\"menu.s\" = \"Sunucu \\\"1\\\"\\n\";");
    writeFile(home.path() / "en.strings", "\"menu.quit\" = \"Quit now\";");
    ::testing::internal::CaptureStderr();
    const auto table = loadStringTables(home.path(), {"de", "tr"});
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(table->text("menu.quit", ""), "Quit now");
    EXPECT_EQ(table->text("menu.s", ""), "Sunucu \"1\"\n");
}

TEST(SingleInstance, ASecondServerIsRefusedUntilTheFirstEnds) {
    ScopedHome home;
    auto first = std::make_optional<SingleInstanceLock>(SingleInstanceLock::defaultFile());
    EXPECT_EQ(first->outcome(), SingleInstanceLock::Outcome::acquired);
    SingleInstanceLock second(SingleInstanceLock::defaultFile());
    EXPECT_EQ(second.outcome(), SingleInstanceLock::Outcome::heldByAnother);
    EXPECT_EQ(second.holder(), long(::getpid()));
    first.reset();
    EXPECT_EQ(SingleInstanceLock(SingleInstanceLock::defaultFile()).outcome(), SingleInstanceLock::Outcome::acquired);
}

} // namespace
} // namespace vemdo::testing
