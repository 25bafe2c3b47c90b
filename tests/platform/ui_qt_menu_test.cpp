// SPDX-License-Identifier: MIT
#include "platform/qt_ui_menu.h"

#include "transport/string_table.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QWidgetAction>

#include <gtest/gtest.h>

namespace vemdo {
namespace {

class DefaultsOnly final : public StringTable {
public:
    std::string text(std::string_view, std::string_view defaultText) const override { return std::string(defaultText); }
};

class QtMenu : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            // No display is needed to build and inspect widgets.
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "ui_qt_menu_test";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
            prepareIconTheme();
        }
    }

    std::vector<MenuEntry> entries(MenuSnapshot snapshot) { return buildMenuEntries(snapshot, m_strings); }

    DefaultsOnly m_strings;
};

QStringList runTexts(QWidget* widget) {
    QStringList texts;
    for (auto* label : widget->findChildren<QLabel*>(QStringLiteral("run")))
        texts << label->text();
    return texts;
}

TEST_F(QtMenu, EntriesBecomeActionsWithPlainTextsStatesAndKeys) {
    QMenu menu;
    std::vector<MenuAction> chosen;
    fillMenu(menu, entries({true, 2, false, "123456", LoginItemStatus::enabled}),
             [&chosen](MenuAction action) { chosen.push_back(action); });
    const auto actions = menu.actions();
    ASSERT_EQ(actions.size(), 18);
    int separators = 0;
    for (auto* action : actions)
        separators += action->isSeparator() ? 1 : 0;
    EXPECT_EQ(separators, 6);

    struct Row {
        int index;
        QString text;
        bool enabled;
        bool styled;
    };
    const Row rows[] = {
        {0, QStringLiteral("Vemdo Trackpad"), false, true},
        {2, QStringLiteral("Pairing Code: 123456"), false, true},
        {3, QStringLiteral("Generate New Code"), true, false},
        {5, QStringLiteral("STATUS"), false, true},
        {6, QStringLiteral("Server Running"), false, false},
        {7, QStringLiteral("2 Device(s) Connected"), false, false},
        {11, QStringLiteral("Open System Settings"), true, false},
        {13, QStringLiteral("iOS device must be on same Wi-Fi network"), false, true},
        {15, QStringLiteral("Launch at Login"), true, false},
        {17, QStringLiteral("Quit"), true, false},
    };
    for (const auto& row : rows) {
        QAction* action = actions[row.index];
        EXPECT_EQ(action->text(), row.text);
        EXPECT_EQ(action->isEnabled(), row.enabled) << row.text.toStdString();
        EXPECT_EQ(qobject_cast<QWidgetAction*>(action) != nullptr, row.styled) << row.text.toStdString();
    }
    EXPECT_EQ(actions[3]->shortcut(), QKeySequence(QStringLiteral("Ctrl+R")));
    EXPECT_EQ(actions[17]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_TRUE(actions[11]->shortcut().isEmpty());
    EXPECT_TRUE(actions[15]->isCheckable());
    EXPECT_TRUE(actions[15]->isChecked());
    EXPECT_FALSE(actions[17]->isCheckable());

    // Handlers run from the event loop, after the action has finished emitting.
    actions[17]->trigger();
    actions[3]->trigger();
    EXPECT_TRUE(chosen.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, (std::vector<MenuAction>{MenuAction::quit, MenuAction::refreshPairingCode}));
}

TEST_F(QtMenu, PairingCodeIsDrawnLargeInMonospace) {
    QMenu menu;
    fillMenu(menu, entries({true, 0, true, std::nullopt}), {});
    auto* code = qobject_cast<QWidgetAction*>(menu.actions()[2]);
    ASSERT_NE(code, nullptr);
    auto labels = code->defaultWidget()->findChildren<QLabel*>(QStringLiteral("run"));
    ASSERT_EQ(labels.size(), 2);
    EXPECT_EQ(labels[0]->text(), QStringLiteral("Pairing Code"));
    EXPECT_EQ(labels[1]->text(), QStringLiteral("------"));
    EXPECT_EQ(labels[1]->font().pixelSize(), 28);
    EXPECT_EQ(labels[1]->font().weight(), QFont::Bold);
    EXPECT_EQ(labels[0]->font().pixelSize(), 12);
    EXPECT_EQ(labels[0]->font().weight(), QFont::DemiBold);
    // The caption and the code sit on two lines.
    QLayout* lines = labels[0]->parentWidget()->layout();
    ASSERT_EQ(lines->count(), 2);
    EXPECT_GE(lines->itemAt(0)->layout()->indexOf(labels[0]), 0);
    EXPECT_GE(lines->itemAt(1)->layout()->indexOf(labels[1]), 0);
    auto* title = qobject_cast<QWidgetAction*>(menu.actions()[0]);
    EXPECT_EQ(runTexts(title->defaultWidget()), QStringList{QStringLiteral("Vemdo Trackpad")});
    const auto titleLabel = title->defaultWidget()->findChild<QLabel*>(QStringLiteral("run"));
    EXPECT_EQ(titleLabel->font().pixelSize(), 15);
    EXPECT_EQ(titleLabel->font().weight(), QFont::Bold);
}

TEST_F(QtMenu, RefillReplacesEverything) {
    QMenu menu;
    fillMenu(menu, entries({true, 0, false, "123456"}), {});
    EXPECT_EQ(menu.actions().size(), 18);
    fillMenu(menu, entries({false, 0, true, "654321"}), {});
    EXPECT_EQ(menu.actions().size(), 17);
    EXPECT_EQ(menu.actions()[2]->text(), QStringLiteral("Pairing Code: 654321"));
    EXPECT_EQ(menu.actions()[6]->text(), QStringLiteral("Server Stopped"));
}

TEST_F(QtMenu, StatusIconIsTheProgramsOwnPicture) {
    EXPECT_FALSE(symbolIcon(statusItemIcon()).pixmap(QSize(16, 16)).isNull());
    EXPECT_TRUE(symbolIcon({"no.such.symbol", 16, FontWeight::medium, ""}).isNull());
}

TEST_F(QtMenu, WindowShowsTheEntriesAndReportsChoices) {
    WindowMenuPresenter window;
    std::vector<MenuAction> chosen;
    window.setActionHandler([&chosen](MenuAction action) { chosen.push_back(action); });
    window.showEntries(entries({true, 0, true, "123456", LoginItemStatus::notRegistered}));
    auto boxes = window.window().findChildren<QCheckBox*>();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text(), QStringLiteral("Launch at Login"));
    EXPECT_FALSE(boxes[0]->isChecked());
    QStringList buttons;
    for (auto* button : window.window().findChildren<QPushButton*>())
        buttons << button->text();
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("Generate New Code"), QStringLiteral("Quit")}));

    // A click asks for the change; the box shows what the system then reports, at the next rebuild.
    boxes[0]->click();
    EXPECT_FALSE(boxes[0]->isChecked());
    QCoreApplication::processEvents();
    EXPECT_EQ(chosen, std::vector<MenuAction>{MenuAction::toggleLaunchAtLogin});
    window.showEntries(entries({true, 0, true, "123456", LoginItemStatus::enabled}));
    boxes = window.window().findChildren<QCheckBox*>();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0]->isChecked());
    EXPECT_FALSE(window.hasStatusButton());
}

} // namespace
} // namespace vemdo
