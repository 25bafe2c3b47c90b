// SPDX-License-Identifier: MIT
// Renders the status menu for one snapshot to a PNG, so that a reviewer can look at it, and prints the
// plain text each entry carries (what D-Bus menu hosts show). With --grab-screen it saves the whole
// screen instead, for tests that need to see what a real session shows.
//
//   ui_menu_snapshot [--listening] [--clients N] [--untrusted] [--code DIGITS] [--login] [--lang LANG]
//                    --out FILE.png
//   ui_menu_snapshot --grab-screen FILE.png

#include "app/menu_model.h"
#include "platform/qt_ui_menu.h"
#include "platform/resource_paths.h"
#include "platform/string_tables.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    using namespace vemdo;
    QApplication application(argc, argv);
    prepareIconTheme();

    MenuSnapshot snapshot;
    snapshot.trusted = true;
    std::string language;
    QString out;
    QString screenOut;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (argument == "--listening")
            snapshot.listening = true;
        else if (argument == "--clients")
            snapshot.clients = std::stoi(next());
        else if (argument == "--untrusted")
            snapshot.trusted = false;
        else if (argument == "--code")
            snapshot.code = next();
        else if (argument == "--login")
            snapshot.loginItem = LoginItemStatus::enabled;
        else if (argument == "--lang")
            language = next();
        else if (argument == "--out")
            out = QString::fromStdString(next());
        else if (argument == "--grab-screen")
            screenOut = QString::fromStdString(next());
        else {
            std::cerr << "unknown argument " << argument << '\n';
            return 2;
        }
    }

    if (!screenOut.isEmpty()) {
        const QPixmap screen = QApplication::primaryScreen()->grabWindow(0);
        return screen.save(screenOut) ? 0 : 1;
    }
    if (out.isEmpty()) {
        std::cerr << "--out is required\n";
        return 2;
    }

    std::vector<std::string> languages;
    if (!language.empty())
        languages.push_back(language);
    const auto strings = loadStringTables(platform::resourceDirectory() / "strings", languages);
    QMenu menu;
    fillMenu(menu, buildMenuEntries(snapshot, *strings), [](MenuAction) {});
    for (const QAction* action : menu.actions()) {
        if (!action->isSeparator())
            std::cout << action->text().toStdString() << (action->icon().isNull() ? "" : " [icon]") << '\n';
    }
    menu.popup(QPoint(20, 20));
    int status = 1;
    QTimer::singleShot(500, &menu, [&] {
        status = menu.grab().save(out) ? 0 : 1;
        application.quit();
    });
    application.exec();
    return status;
}
