// SPDX-License-Identifier: MIT
#pragma once

#include "app/browser_link.h"

#include <QImage>

#include <memory>
#include <optional>

class QLabel;
class QWidget;

namespace vemdo {

struct QrCode;

// The QR code as an image: `moduleSize` pixels a module, a quiet zone of four modules, black on white.
QImage qrCodeImage(const QrCode& code, int moduleSize);

// The window of "Connect with a Browser…": the QR code of the link, the address as text and the other
// addresses below it. It follows the link while it is open (a new code, a new network). Main thread.
class BrowserLinkWindow {
public:
    BrowserLinkWindow();
    ~BrowserLinkWindow();

    void setLink(const std::optional<BrowserLink>& link);
    // Shows the last link set, and brings the window to the front.
    void show();

    QWidget& window() { return *m_window; }

private:
    void fill();

    std::unique_ptr<QWidget> m_window;
    QLabel* m_code = nullptr;
    QLabel* m_instructions = nullptr;
    QLabel* m_address = nullptr;
    QLabel* m_others = nullptr;
    std::optional<BrowserLink> m_link;
};

} // namespace vemdo
