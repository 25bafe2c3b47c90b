// SPDX-License-Identifier: MIT
#include "platform/ui/headless_menu_presenter.h"
#include "platform/ui/menu_widgets.h"
#include "support/fakes.h"

#include <QApplication>
#include <QMenu>

#include <gtest/gtest.h>

namespace vemdo::testing {
namespace {

TEST(Terminal, StatusBlockIsPrintedWhenItChanges) {
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
                              "SECURITY\nInput Not Possible\nThe phone must be on the same network\n";
    EXPECT_EQ(out.str(), block + "Not listening\nInput backend: portal (asks you to allow remote control)\n\n" + block +
                             "Listening on port 40017\nInput backend: portal\n\n");
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
    fillMenu(menu, buildMenuEntries({true, 2, false, "123456", AutostartState::enabled}, FakeStrings{}),
             [&chosen](MenuAction action) { chosen.push_back(action); });
    // The texts are read through a D-Bus menu host in app_test.py; here what only the menu itself holds.
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(actions.size(), 18);
    EXPECT_EQ(actions[3]->shortcut().toString(), QStringLiteral("Ctrl+R"));
    EXPECT_EQ(actions[17]->shortcut().toString(), QStringLiteral("Ctrl+Q"));
    EXPECT_TRUE(actions[1]->isSeparator() && !actions[2]->isEnabled() && actions[11]->isEnabled());
    EXPECT_TRUE(actions[15]->isCheckable() && actions[15]->isChecked() && !actions[17]->isCheckable());
    // A choice is handled from the event loop, once the action is done: the handler rebuilds the menu.
    menu.actions()[17]->trigger();
    menu.actions()[3]->trigger();
    EXPECT_TRUE(chosen.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, (std::vector<MenuAction>{MenuAction::quit, MenuAction::refreshPairingCode}));
}

} // namespace
} // namespace vemdo::testing
