// SPDX-License-Identifier: MIT
#include "platform/ui/browser_link_window.h"

#include "platform/ui/qr_code.h"

#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>
#include <QWidget>

namespace vemdo {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

constexpr int quietZone = 4;
constexpr int moduleSize = 7;

} // namespace

QImage qrCodeImage(const QrCode& code, int moduleSize) {
    const int side = (code.size + 2 * quietZone) * moduleSize;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < code.size; ++y) {
        for (int x = 0; x < code.size; ++x) {
            if (!code.dark(x, y))
                continue;
            for (int dy = 0; dy < moduleSize; ++dy) {
                for (int dx = 0; dx < moduleSize; ++dx)
                    image.setPixel((x + quietZone) * moduleSize + dx, (y + quietZone) * moduleSize + dy, 0xff000000);
            }
        }
    }
    return image;
}

BrowserLinkWindow::BrowserLinkWindow() : m_window(std::make_unique<QWidget>()) {
    auto* layout = new QVBoxLayout(m_window.get());
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(10);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    m_code = new QLabel(m_window.get());
    m_code->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_code, 0, Qt::AlignHCenter);
    m_address = new QLabel(m_window.get());
    QFont big = m_address->font();
    big.setPixelSize(18);
    big.setWeight(QFont::DemiBold);
    m_address->setFont(big);
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_address->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_address);
    m_instructions = new QLabel(m_window.get());
    m_instructions->setWordWrap(true);
    m_instructions->setFixedWidth(320);
    m_instructions->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_instructions, 0, Qt::AlignHCenter);
    m_others = new QLabel(m_window.get());
    m_others->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_others->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_others);
}

BrowserLinkWindow::~BrowserLinkWindow() = default;

void BrowserLinkWindow::setLink(const std::optional<BrowserLink>& link) {
    if (link == m_link)
        return;
    m_link = link;
    if (!m_window->isVisible())
        return;
    // A page that is no longer served has nothing left to scan.
    if (!m_link)
        m_window->hide();
    else
        fill();
}

void BrowserLinkWindow::show() {
    if (!m_link)
        return;
    fill();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void BrowserLinkWindow::fill() {
    const BrowserLink& link = *m_link;
    m_window->setWindowTitle(qs(link.title));
    if (auto code = encodeQrCode(link.url))
        m_code->setPixmap(QPixmap::fromImage(qrCodeImage(*code, moduleSize)));
    else
        m_code->clear();
    m_address->setText(qs(link.address));
    m_instructions->setText(qs(link.instructions));
    QString others;
    if (!link.otherAddresses.empty()) {
        others = qs(link.othersCaption);
        for (const auto& address : link.otherAddresses)
            others += QLatin1Char('\n') + qs(address);
    }
    m_others->setText(others);
    m_others->setVisible(!others.isEmpty());
}

} // namespace vemdo
