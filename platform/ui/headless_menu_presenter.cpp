// SPDX-License-Identifier: MIT
#include "platform/ui/headless_menu_presenter.h"

#include "platform/ui/qr_code.h"

#include <iostream>

#include <unistd.h>

namespace vemdo {

namespace {

std::string formatHeadlessBlock(const std::vector<MenuEntry>& entries, std::optional<std::uint16_t> listeningPort,
                                const std::string& inputBackend) {
    std::string block;
    for (const auto& entry : entries) {
        if (entry.kind != MenuEntryKind::information)
            continue;
        block += entry.plainText;
        block += '\n';
    }
    if (listeningPort)
        block += "Listening on port " + std::to_string(*listeningPort) + "\n";
    else
        block += "Not listening\n";
    if (!inputBackend.empty())
        block += "Input backend: " + inputBackend + "\n";
    block += '\n';
    return block;
}

} // namespace

HeadlessMenuPresenter::HeadlessMenuPresenter(std::ostream& out,
                                             std::function<std::optional<std::uint16_t>()> listeningPort,
                                             std::function<std::string()> inputBackend)
    : m_out(out), m_listeningPort(std::move(listeningPort)), m_inputBackend(std::move(inputBackend)) {}

void HeadlessMenuPresenter::showEntries(const std::vector<MenuEntry>& entries) {
    std::string block = formatHeadlessBlock(entries, m_listeningPort ? m_listeningPort() : std::nullopt,
                                            m_inputBackend ? m_inputBackend() : std::string());
    if (block == m_lastBlock)
        return;
    m_out << block << std::flush;
    m_lastBlock = std::move(block);
}

std::string formatBrowserLink(const BrowserLink& link, bool colors) {
    std::string text = link.title + ": " + link.url + "\n";
    if (auto code = encodeQrCode(link.url)) {
        // Scanners want a quiet zone of four modules; two lines of half blocks make four.
        for (const auto& line : halfBlockLines(*code, 4, colors))
            text += line + "\n";
    }
    if (!link.otherAddresses.empty()) {
        text += link.othersCaption;
        for (const auto& address : link.otherAddresses)
            text += " " + address;
        text += "\n";
    }
    text += "\n";
    return text;
}

void HeadlessMenuPresenter::setBrowserLink(const std::optional<BrowserLink>& link) {
    if (link == m_lastLink)
        return;
    m_lastLink = link;
    if (!link)
        return;
    // Colours only where a terminal shows them; a pipe or a log gets the bare blocks.
    const bool colors = &m_out == &std::cout && ::isatty(STDOUT_FILENO) == 1;
    m_out << formatBrowserLink(*link, colors) << std::flush;
}

int TerminalAlertPresenter::ask(const AlertRequest& alert) {
    m_out << alert.messageText << ": " << alert.informativeText << '\n';
    if (!m_note.empty())
        m_out << m_note << '\n';
    m_out << std::flush;
    return -1;
}

} // namespace vemdo
