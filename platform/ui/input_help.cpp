// SPDX-License-Identifier: MIT
#include "platform/ui/input_help.h"

#include "platform/host/paths.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <iostream>

namespace vemdo {

InputHelp::InputHelp(InputBackend& backend, bool desktop) : m_backend(backend), m_desktop(desktop) {}

std::filesystem::path InputHelp::helpPage() {
    const auto resources = platform::resourceDirectory();
    if (resources.empty())
        return {};
    return resources / "help" / "input.html";
}

void InputHelp::showInputHelp() {
    const auto page = helpPage();
    if (page.empty()) {
        std::cerr << "vemdo-trackpad: the help page is not installed\n";
        return;
    }
    if (m_desktop && QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(page.string()))))
        return;
    std::cerr << "How to make input possible: " << page.string() << '\n';
}

} // namespace vemdo
