// SPDX-License-Identifier: MIT
#include "platform/headless_menu_presenter.h"

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

int TerminalAlertPresenter::runModal(const AlertRequest& alert) {
    m_out << alert.messageText << ": " << alert.informativeText << '\n';
    if (!m_note.empty())
        m_out << m_note << '\n';
    m_out << std::flush;
    return -1;
}

} // namespace vemdo
