// SPDX-License-Identifier: MIT
#include "app/application.h"
#include "app/command_line.h"
#include "platform/host/xdg_autostart_entry.h"
#include "support/fakes.h"

#include <gtest/gtest.h>

namespace vemdo::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// One line per entry: what it says, then what a user can do with it.
Lines describe(const std::vector<MenuEntry>& entries) {
    static const char* const actions[] = {"", " -> refresh", " -> help", " -> login", " -> quit", " -> browser"};
    Lines lines;
    for (const auto& e : entries) {
        lines.push_back(e.kind == MenuEntryKind::separator ? "---" : e.plainText);
        lines.back() += (e.enabled ? " [enabled]" : "") + (e.shortcutKey.empty() ? "" : " [" + e.shortcutKey + "]") +
                        (e.checkable ? (e.checked ? " [on]" : " [off]") : "") + actions[int(e.action)];
    }
    return lines;
}

TEST(Menu, EntriesFollowTheServerTheInputAndTheAutostartEntry) {
    const std::pair<MenuSnapshot, Lines> rows[] = {
        {{true, 3, false, "123456", AutostartState::enabled},
         {"Vemdo Trackpad", "---", "Pairing Code: 123456", "Generate New Code [enabled] [r] -> refresh", "---",
          "STATUS", "Server Running", "3 Device(s) Connected", "---", "SECURITY", "Input Not Possible",
          "Input Help… [enabled] -> help", "---", "The phone must be on the same network", "---",
          "Launch at Login [enabled] [on] -> login", "---", "Quit [enabled] [q] -> quit"}},
        {{false, 0, true, std::nullopt, AutostartState::disabledByDesktop},
         {"Vemdo Trackpad", "---", "Pairing Code: ------", "Generate New Code [enabled] [r] -> refresh", "---",
          "STATUS", "Server Stopped", "Waiting for Device", "---", "SECURITY", "Input Allowed", "---",
          "The phone must be on the same network", "---", "Launch at Login [enabled] [off] -> login", "---",
          "Quit [enabled] [q] -> quit"}},
    };
    for (const auto& [snapshot, expected] : rows)
        EXPECT_EQ(describe(buildMenuEntries(snapshot, FakeStrings{})), expected);
    EXPECT_EQ(
        describe(buildMenuEntries({true, 2, true, "654321"}, FakeStrings{{"menu.connected", "%d Cihaz Bağlı"}}))[7],
        "2 Cihaz Bağlı");
}

// The menu, the alerts, the input, the autostart entry and the transport, all logging into one sequence.
class FakeDesktop final : public TransportFacade,
                          public StatusMenuPresenter,
                          public AlertPresenter,
                          public InputAccess,
                          public AutostartEntry {
public:
    explicit FakeDesktop(TaskQueue& mainQueue) : m_mainQueue(mainQueue) {}
    bool isListening() override { return listening; }
    int connectedClients() override { return clients; }
    std::optional<std::string> currentPairingCode() override { return code; }
    bool pairingStopped() override { return stopped; }
    bool settingsUnsaved() override { return unsaved; }
    void start() override { log.push_back("start"); }
    // Like the real transport: the new code is published later, through the main queue.
    void regeneratePairingCode() override {
        log.push_back("regenerate"), m_mainQueue.post([this] { code = "222222"; });
    }
    void showIcon(const SymbolIcon&) override { log.push_back("icon"); }
    void setActionHandler(std::function<void(MenuAction)> handler) override { choose = std::move(handler); }
    void showEntries(const std::vector<MenuEntry>& entries) override {
        log.push_back("show"), shown = describe(entries);
    }
    void closeMenu() override { log.push_back("close"); }
    bool hasTrayIcon() const override { return true; }
    void openMenuAtTrayIcon() override { log.push_back("open"); }
    std::optional<std::uint16_t> webPort() override { return web; }
    std::vector<std::string> localAddresses() override { return addresses; }
    std::string hostName() override { return "desk"; }
    void setBrowserLink(const std::optional<BrowserLink>& shownLink) override { link = shownLink; }
    void showBrowserLink() override { log.push_back("browser " + (link ? link->url : "none")); }
    int ask(const AlertRequest& alert) override {
        return log.push_back("alert " + alert.messageText + ": " + alert.informativeText), answer;
    }
    bool canPost() override { return allowed; }
    bool askAtStart() override { return log.push_back("ask"), allowed; }
    InputObstacle obstacle() override { return blocker; }
    void showInputHelp() override { log.push_back("help"); }
    AutostartState state() override { return autostart; }
    AutostartChange enable() override { return change("enable", AutostartState::enabled); }
    AutostartChange disable() override { return change("disable", AutostartState::absent); }

    Lines log, shown;
    std::function<void(MenuAction)> choose;
    bool listening = false, allowed = true, stopped = false, unsaved = false;
    InputObstacle blocker = InputObstacle::none;
    int clients = 0, answer = 1;
    std::optional<std::string> code = "111111";
    AutostartState autostart = AutostartState::absent;
    std::string failure;
    std::optional<std::uint16_t> web;
    std::vector<std::string> addresses{"127.0.0.1", "::1"};
    std::optional<BrowserLink> link;

private:
    AutostartChange change(const char* what, AutostartState after) {
        log.push_back(what);
        if (failure.empty())
            autostart = after;
        return {failure.empty(), failure};
    }
    TaskQueue& m_mainQueue;
};

struct AppTest : ::testing::Test {
    // Launches, then forgets what launching logged.
    void launch() {
        application.start();
        desktop.log.clear();
    }
    ManualTaskQueue queue;
    FakeDesktop desktop{queue};
    FakeStrings strings;
    int quits = 0;
    Application application{{desktop, desktop, desktop, desktop, desktop, queue, strings, [this] { ++quits; }}};
};

TEST_F(AppTest, StartsUpInOrderOnce) {
    application.start();
    application.start();
    EXPECT_EQ(desktop.log, (Lines{"icon", "show", "ask", "start"}));
}

TEST_F(AppTest, MenuIsRebuiltEveryTwoSeconds) {
    launch();
    EXPECT_EQ(queue.advance(1999ms), 0);
    desktop.listening = true;
    desktop.clients = 3;
    desktop.stopped = true;
    desktop.unsaved = true;
    queue.advance(1ms);
    EXPECT_EQ(desktop.log, Lines{"show"});
    EXPECT_EQ(desktop.shown[3], "Too many wrong codes: generate a new one");
    EXPECT_EQ(desktop.shown[8], "Settings Cannot Be Saved");
    EXPECT_EQ(desktop.shown[9], "3 Device(s) Connected");
    queue.advance(2000ms);
    EXPECT_EQ(desktop.log, (Lines{"show", "show"}));
}

TEST_F(AppTest, NewCodeIsShownInTheReopenedMenuATenthOfASecondLater) {
    launch();
    desktop.choose(MenuAction::refreshPairingCode);
    queue.advance(99ms);
    EXPECT_EQ(desktop.shown[2], "Pairing Code: 111111");
    queue.advance(1ms);
    EXPECT_EQ(desktop.log, (Lines{"regenerate", "close", "show", "open"}));
    EXPECT_EQ(desktop.shown[2], "Pairing Code: 222222");
}

// One second after launch, and only while input is not possible, an alert says why; its first button shows
// the help. Allowed while the alert waited, the alert still explains the question the desktop asked.
TEST_F(AppTest, InputLineAndAlertSayWhatStandsInTheWay) {
    const std::tuple<bool, InputObstacle, const char*, const char*> rows[] = {
        {true, InputObstacle::none, "Input Allowed", nullptr},
        {false, InputObstacle::noXTest, "Input Not Possible", "Vemdo Trackpad cannot move the pointer or type yet"},
        {false, InputObstacle::xwayland, "Input Not Possible: Xwayland Reaches Only X11 Windows", "DISPLAY names"},
        {false, InputObstacle::kwinNotAuthorized, "Input Not Possible: KDE Allows Input Only to Installed Programs",
         "KDE Plasma lets only installed programs send input"},
        {false, InputObstacle::unsupportedCompositor, "Input Not Possible: This Wayland Desktop Is Not Supported",
         "This Wayland desktop offers none"},
        {false, InputObstacle::connectionLost, "Input Not Possible: Connection to the Desktop Lost",
         "The connection to the desktop was lost"},
        {false, InputObstacle::awaitingApproval, "Input Not Possible Yet: Allow Remote Control When Asked",
         "The desktop asks whether"},
        {false, InputObstacle::refused, "Input Not Possible: Remote Control Was Not Allowed",
         "Remote control was not allowed"},
        {true, InputObstacle::awaitingApproval, "Input Allowed", "The desktop asks whether"},
    };
    for (const auto& [allowedLater, obstacle, line, alert] : rows) {
        // "Later" to the refusal's alert, "Show Help" to the others.
        const bool later = obstacle == InputObstacle::refused;
        std::tie(desktop.allowed, desktop.blocker, desktop.answer) = std::tuple(!alert, obstacle, int(later));
        ManualTaskQueue ownQueue;
        Application launched({desktop, desktop, desktop, desktop, desktop, ownQueue, strings, {}});
        launched.start();
        desktop.log.clear();
        if (allowedLater)
            std::tie(desktop.allowed, desktop.blocker) = std::pair(true, InputObstacle::none);
        EXPECT_EQ(ownQueue.advance(999ms), 0) << line;
        ownQueue.advance(1001ms);
        EXPECT_EQ(desktop.shown[10], line);
        if (!alert) {
            EXPECT_EQ(desktop.log, Lines{"show"});
            continue;
        }
        ASSERT_EQ(desktop.log.size(), later ? 2u : 3u) << line;
        EXPECT_TRUE(desktop.log[0].starts_with("alert Input Not Possible: " + std::string(alert))) << desktop.log[0];
        EXPECT_EQ(desktop.log[1], later ? "show" : "help") << line;
    }
}

TEST_F(AppTest, MenuActions) {
    launch();
    desktop.choose(MenuAction::toggleLaunchAtLogin);
    EXPECT_EQ(desktop.shown[14], "Launch at Login [enabled] [on] -> login");
    desktop.choose(MenuAction::toggleLaunchAtLogin);
    desktop.failure = "Permission denied";
    desktop.choose(MenuAction::toggleLaunchAtLogin);
    desktop.choose(MenuAction::showInputHelp);
    desktop.choose(MenuAction::quit);
    EXPECT_EQ(desktop.log, (Lines{"enable", "show", "disable", "show", "enable",
                                  "alert Launch at Login Error: Could not change launch at login setting: "
                                  "Permission denied",
                                  "help"}));
    EXPECT_EQ(quits, 1);
}

// Launch at Login over the real autostart entry in a private configuration home.
TEST_F(AppTest, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
    ScopedHome home;
    const auto entry = home.path() / "autostart" / "vemdo-trackpad.desktop";
    XdgAutostartEntry item(XdgAutostartEntry::defaultDirectory(), "/opt/vemdo dir/vemdo-trackpad");
    Application withEntry({desktop, desktop, desktop, desktop, item, queue, strings, {}});
    withEntry.toggleLaunchAtLogin();
    EXPECT_NE(readFile(entry).find("\nExec=\"/opt/vemdo dir/vemdo-trackpad\"\n"), std::string::npos);
    EXPECT_EQ(desktop.shown[14], "Launch at Login [enabled] [on] -> login");
    const std::pair<const char*, AutostartState> switchedOff[] = {
        {"[Desktop Entry]\nHidden=true\n", AutostartState::disabledByDesktop},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled = false\n", AutostartState::disabledByDesktop},
        {"[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n", AutostartState::enabled},
    };
    for (const auto& [text, state] : switchedOff) {
        writeFile(entry, text);
        EXPECT_EQ(item.state(), state) << text;
    }
    withEntry.toggleLaunchAtLogin();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(desktop.shown[14], "Launch at Login [enabled] [off] -> login");
}

TEST(CommandLine, Arguments) {
    const std::string inputs[] = {"auto", "x11", "wlroots", "kwin", "gnome", "portal"};
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{}, ""},
        {{"--headless", "--port", "5000"}, "headless port 5000"},
        {{"--port=65535"}, "port 65535"},
        {{"-h"}, "help"},
        {{"--version"}, "version"},
        {{"--port", "0"}, "error"},
        {{"--port", "12a"}, "error"},
        {{"--port", "80", "--port", "81"}, "error"},
        {{"extra"}, "error"},
        {{"--input", "kwin"}, "input kwin"},
        {{"--input=wlroots"}, "input wlroots"},
        {{"--input", "gnome"}, "input gnome"},
        {{"--input=portal"}, "input portal"},
        {{"--input"}, "error"},
    };
    for (const auto& [arguments, expected] : rows) {
        const auto result = parseCommandLine(arguments);
        std::string seen = result.options ? "" : "error";
        if (const auto& o = result.options)
            seen = std::string(o->headless ? "headless " : "") + (o->help ? "help " : "") +
                   (o->version ? "version " : "") + (o->port ? "port " + std::to_string(*o->port) : "") +
                   (o->input != InputBackendChoice::automatic ? "input " + inputs[int(o->input)] : "");
        while (!seen.empty() && seen.back() == ' ')
            seen.pop_back();
        EXPECT_EQ(seen, expected) << ::testing::PrintToString(arguments);
        EXPECT_EQ(result.error.empty(), expected != "error");
    }
}

// A phone on the network reaches a private IPv4 address best; link-local IPv6 needs an interface name that
// no browser takes, and loopback serves only when there is nothing else.
TEST(BrowserLink, PicksTheAddressAPhoneReaches) {
    const std::pair<std::vector<std::string>, std::optional<std::vector<std::string>>> rows[] = {
        {{"127.0.0.1", "fe80::1%eth0", "2001:db8::5", "203.0.113.9", "10.0.0.4", "::1"},
         {{"http://10.0.0.4:27183/", "http://203.0.113.9:27183/", "http://[2001:db8::5]:27183/",
           "http://desk.local:27183/"}}},
        {{"::1", "127.0.0.1"}, {{"http://127.0.0.1:27183/", "http://[::1]:27183/"}}},
        {{"fe80::1%eth0"}, std::nullopt},
    };
    for (const auto& [addresses, expected] : rows) {
        const auto link = makeBrowserLink(addresses, "desk", 27183, "123456");
        ASSERT_EQ(link.has_value(), expected.has_value()) << addresses.front();
        if (!link)
            continue;
        Lines all{link->address};
        all.insert(all.end(), link->otherAddresses.begin(), link->otherAddresses.end());
        EXPECT_EQ(all, *expected);
        EXPECT_EQ(link->url, link->address + "#code=123456");
    }
}

TEST_F(AppTest, BrowserLinkFollowsTheCodeAndOpensOnRequest) {
    desktop.addresses = {"127.0.0.1", "192.168.1.20"};
    launch();
    EXPECT_FALSE(desktop.link) << "no page served, no link and no entry";
    desktop.web = 27183;
    queue.advance(2000ms);
    ASSERT_TRUE(desktop.link);
    EXPECT_EQ(desktop.link->url, "http://192.168.1.20:27183/#code=111111");
    EXPECT_EQ(desktop.shown[4], "Connect with a Browser… [enabled] [b] -> browser");
    desktop.code = "222222";
    desktop.choose(MenuAction::connectWithBrowser);
    EXPECT_EQ(desktop.log, (Lines{"show", "show", "browser http://192.168.1.20:27183/#code=222222"}));
}

} // namespace
} // namespace vemdo::testing
