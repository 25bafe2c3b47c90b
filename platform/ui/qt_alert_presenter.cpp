// SPDX-License-Identifier: MIT
#include "platform/ui/qt_alert_presenter.h"

#include "platform/ui/menu_widgets.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

namespace vemdo {

int QtAlertPresenter::ask(const AlertRequest& alert) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Vemdo Trackpad"));
    box.setText(toQString(alert.messageText));
    box.setInformativeText(toQString(alert.informativeText));
    std::vector<QAbstractButton*> buttons;
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        buttons.push_back(
            box.addButton(toQString(alert.buttons[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    if (!buttons.empty())
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i])
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace vemdo
