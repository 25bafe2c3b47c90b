// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vemdo {

// The browser link for a terminal: the title and the URL, the QR code in half blocks (with colours of its
// own when `colors`), the other addresses, an empty line. No line within is blank.
std::string formatBrowserLink(const BrowserLink& link, bool colors);

// Stands in for the tray menu when there is no display: prints the menu as a block of text whenever it
// differs from the last one printed, and flushes, so that a reader on a pipe sees each block at once. The
// block has one line per information entry in menu order, then "Listening on port N" or "Not listening",
// then "Input backend: NAME" when a name is given, then an empty line; action entries and separators are
// left out. The browser link is printed whenever it changes, as a block of its own.
class HeadlessMenuPresenter final : public StatusMenuPresenter {
public:
    // `listeningPort` answers with the port while the server listens, and nothing otherwise.
    // `inputBackend` names the input backend in use and its state, for the block.
    HeadlessMenuPresenter(std::ostream& out, std::function<std::optional<std::uint16_t>()> listeningPort,
                          std::function<std::string()> inputBackend = {});

    void showIcon(const SymbolIcon&) override {}
    void setActionHandler(std::function<void(MenuAction)>) override {}
    void showEntries(const std::vector<MenuEntry>& entries) override;
    void closeMenu() override {}
    bool hasTrayIcon() const override { return false; }
    void openMenuAtTrayIcon() override {}
    void setBrowserLink(const std::optional<BrowserLink>& link) override;

private:
    std::ostream& m_out;
    std::function<std::optional<std::uint16_t>()> m_listeningPort;
    std::function<std::string()> m_inputBackend;
    std::string m_lastBlock;
    std::optional<BrowserLink> m_lastLink;
};

// Alerts on a terminal: printed to the given stream, followed by `note` when there is one (where to read
// more, since nobody can press a button here); no button is chosen.
class TerminalAlertPresenter final : public AlertPresenter {
public:
    explicit TerminalAlertPresenter(std::ostream& out, std::string note = {}) : m_out(out), m_note(std::move(note)) {}
    int ask(const AlertRequest& alert) override;

private:
    std::ostream& m_out;
    std::string m_note;
};

} // namespace vemdo
