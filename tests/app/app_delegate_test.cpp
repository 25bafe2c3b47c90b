// SPDX-License-Identifier: MIT
#include "app/app_delegate.h"

#include "fake_string_table.h"
#include "support/manual_task_queue.h"

#include <gtest/gtest.h>

#include <deque>

namespace vemdo {
namespace {

using namespace std::chrono_literals;
using testing::ManualTaskQueue;
using testing::MapStringTable;

// Everything the delegate does to its collaborators, in one sequence.
using Log = std::vector<std::string>;

class FakeTransport final : public TransportFacade {
public:
    FakeTransport(Log& log, ManualTaskQueue& mainQueue) : m_log(log), m_mainQueue(mainQueue) {}
    bool isListening() override { return listening; }
    int connectedClients() override { return clients; }
    std::optional<std::string> currentPairingCode() override { return code; }
    bool pairingStopped() override { return false; }
    void start() override { m_log.push_back("transport.start"); }
    void regeneratePairingCode() override {
        m_log.push_back("transport.regenerate");
        // Like the real one: published later, through the main queue.
        std::string next = nextCodes.front();
        nextCodes.pop_front();
        m_mainQueue.post([this, next] { code = next; });
    }

    bool listening = false;
    int clients = 0;
    std::optional<std::string> code;
    std::deque<std::string> nextCodes{"222222", "333333"};

private:
    Log& m_log;
    ManualTaskQueue& m_mainQueue;
};

class FakeMenu final : public StatusMenuPresenter {
public:
    explicit FakeMenu(Log& log) : m_log(log) {}
    void createStatusItem(const SymbolIcon& icon) override { m_log.push_back("menu.create " + icon.name); }
    void setActionHandler(std::function<void(MenuAction)> handler) override { this->handler = std::move(handler); }
    void showEntries(const std::vector<MenuEntry>& shown) override {
        m_log.push_back("menu.show");
        entries = shown;
    }
    void cancelTracking() override { m_log.push_back("menu.cancel"); }
    bool hasStatusButton() const override { return hasButton; }
    void popUpAtStatusItem() override { m_log.push_back("menu.popup"); }

    std::string codeText() const {
        for (const auto& e : entries)
            if (e.role == MenuEntryRole::pairingCode)
                return e.plainText;
        return {};
    }

    std::vector<MenuEntry> entries;
    std::function<void(MenuAction)> handler;
    bool hasButton = true;

private:
    Log& m_log;
};

class FakeAlerts final : public AlertPresenter {
public:
    explicit FakeAlerts(Log& log) : m_log(log) {}
    int runModal(const AlertRequest& alert) override {
        m_log.push_back("alert " + alert.messageText);
        shown.push_back(alert);
        return answer;
    }
    std::vector<AlertRequest> shown;
    int answer = 1;

private:
    Log& m_log;
};

class FakePermission final : public PermissionQuery {
public:
    explicit FakePermission(Log& log) : m_log(log) {}
    bool isTrusted() override { return trusted; }
    bool isTrustedWithPrompt() override {
        m_log.push_back("permission.prompt");
        return trusted;
    }
    void openAccessibilitySettings() override { m_log.push_back("settings.open"); }
    bool trusted = true;

private:
    Log& m_log;
};

class FakeLoginItem final : public LoginItemService {
public:
    explicit FakeLoginItem(Log& log) : m_log(log) {}
    LoginItemStatus status() override { return current; }
    LoginItemChange registerItem() override {
        m_log.push_back("login.register");
        if (!failure.empty())
            return {false, failure};
        current = LoginItemStatus::enabled;
        return {true, {}};
    }
    LoginItemChange unregisterItem() override {
        m_log.push_back("login.unregister");
        if (!failure.empty())
            return {false, failure};
        current = LoginItemStatus::notRegistered;
        return {true, {}};
    }
    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::string failure;

private:
    Log& m_log;
};

struct AppDelegateTest : ::testing::Test {
    Log log;
    ManualTaskQueue queue;
    FakeTransport transport{log, queue};
    FakeMenu menu{log};
    FakeAlerts alerts{log};
    FakePermission permission{log};
    FakeLoginItem loginItem{log};
    MapStringTable strings;
    int terminated = 0;
    std::unique_ptr<AppDelegate> delegate = std::make_unique<AppDelegate>(AppDelegate::Dependencies{
        transport, menu, alerts, permission, loginItem, queue, strings, [this] { ++terminated; }});

    const MenuEntry* entry(MenuEntryRole role) const {
        for (const auto& e : menu.entries)
            if (e.role == role)
                return &e;
        return nullptr;
    }
};

TEST_F(AppDelegateTest, LaunchRunsTheStartUpStepsInOrder) {
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(log, (Log{"menu.create rectangle.and.hand.point.up.left.filled", "menu.show", "permission.prompt",
                        "transport.start"}));
    EXPECT_EQ(menu.entries.size(), 17u);
}

TEST_F(AppDelegateTest, FirstMenuShowsPlaceholderUntilTheCodeIsPublished) {
    transport.code.reset();
    transport.regeneratePairingCode(); // what construction does when no code is stored
    log.clear();
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(menu.codeText(), "Pairing Code: ------");
    queue.runDue();
    EXPECT_EQ(menu.codeText(), "Pairing Code: ------");
    queue.advance(2000ms);
    EXPECT_EQ(menu.codeText(), "Pairing Code: 222222");
}

TEST_F(AppDelegateTest, TimerRebuildsEveryTwoSeconds) {
    delegate->applicationDidFinishLaunching();
    log.clear();
    queue.advance(1999ms);
    EXPECT_TRUE(log.empty());
    queue.advance(1ms);
    EXPECT_EQ(log, Log{"menu.show"});
    transport.listening = true;
    transport.clients = 3;
    queue.advance(2000ms);
    EXPECT_EQ(log, (Log{"menu.show", "menu.show"}));
    EXPECT_EQ(entry(MenuEntryRole::serverState)->plainText, "Server Running");
    EXPECT_EQ(entry(MenuEntryRole::connections)->plainText, "3 Device(s) Connected");
    transport.listening = false;
    queue.advance(2000ms);
    EXPECT_EQ(entry(MenuEntryRole::serverState)->plainText, "Server Stopped");
}

TEST_F(AppDelegateTest, TimerStopsWhenTheDelegateIsGone) {
    delegate->applicationDidFinishLaunching();
    delegate.reset();
    log.clear();
    queue.advance(10000ms);
    EXPECT_TRUE(log.empty());
}

TEST_F(AppDelegateTest, RefreshRegeneratesThenReopensWithTheNewCodeAfterATenthOfASecond) {
    transport.code = "111111";
    delegate->applicationDidFinishLaunching();
    log.clear();
    menu.handler(MenuAction::refreshPairingCode);
    EXPECT_EQ(log, Log{"transport.regenerate"});
    queue.advance(99ms);
    EXPECT_EQ(log, Log{"transport.regenerate"});
    EXPECT_EQ(menu.codeText(), "Pairing Code: 111111");
    queue.advance(1ms);
    EXPECT_EQ(log, (Log{"transport.regenerate", "menu.cancel", "menu.show", "menu.popup"}));
    EXPECT_EQ(menu.codeText(), "Pairing Code: 222222");
}

TEST_F(AppDelegateTest, RefreshWithoutStatusButtonRebuildsButDoesNotOpen) {
    menu.hasButton = false;
    delegate->applicationDidFinishLaunching();
    log.clear();
    delegate->refreshPairingCode();
    queue.advance(100ms);
    EXPECT_EQ(log, (Log{"transport.regenerate", "menu.cancel", "menu.show"}));
}

TEST_F(AppDelegateTest, TrustedLaunchShowsNoAlert) {
    permission.trusted = true;
    delegate->applicationDidFinishLaunching();
    queue.advance(5000ms);
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(AppDelegateTest, UntrustedLaunchAlertsOneSecondLaterOnlyOnce) {
    permission.trusted = false;
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(menu.entries.size(), 18u);
    queue.advance(999ms);
    EXPECT_TRUE(alerts.shown.empty());
    // Granting it meanwhile does not cancel the alert.
    permission.trusted = true;
    queue.advance(1ms);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText, "Accessibility Permission Required");
    EXPECT_EQ(alerts.shown[0].informativeText, "Permission message");
    EXPECT_EQ(alerts.shown[0].buttons, (std::vector<std::string>{"Open System Settings", "Later"}));
    queue.advance(10000ms);
    EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST_F(AppDelegateTest, AlertAnswers) {
    struct Case {
        int answer;
        bool opensSettings;
    };
    for (const auto& c : {Case{0, true}, Case{1, false}, Case{-1, false}}) {
        log.clear();
        alerts.answer = c.answer;
        delegate->showAccessibilityAlert();
        bool opened = std::find(log.begin(), log.end(), "settings.open") != log.end();
        EXPECT_EQ(opened, c.opensSettings) << c.answer;
    }
}

TEST_F(AppDelegateTest, OpenSettingsEntryOpensTheHelp) {
    permission.trusted = false;
    delegate->applicationDidFinishLaunching();
    log.clear();
    menu.handler(MenuAction::openAccessibilitySettings);
    EXPECT_EQ(log, Log{"settings.open"});
}

TEST_F(AppDelegateTest, LaunchAtLoginToggles) {
    struct Case {
        LoginItemStatus before;
        std::string call;
        bool checkedAfter;
    };
    const Case cases[] = {
        {LoginItemStatus::enabled, "login.unregister", false},
        {LoginItemStatus::notRegistered, "login.register", true},
        {LoginItemStatus::requiresApproval, "login.register", true},
        {LoginItemStatus::notFound, "login.register", true},
    };
    delegate->applicationDidFinishLaunching();
    for (const auto& c : cases) {
        loginItem.current = c.before;
        log.clear();
        menu.handler(MenuAction::toggleLaunchAtLogin);
        EXPECT_EQ(log, (Log{c.call, "menu.show"})) << static_cast<int>(c.before);
        EXPECT_EQ(entry(MenuEntryRole::launchAtLogin)->checked, c.checkedAfter);
    }
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(AppDelegateTest, LaunchAtLoginFailureShowsTheErrorAlertAndDoesNotRebuild) {
    delegate->applicationDidFinishLaunching();
    loginItem.failure = "Permission denied";
    log.clear();
    menu.handler(MenuAction::toggleLaunchAtLogin);
    EXPECT_EQ(log, (Log{"login.register", "alert Launch at Login Error"}));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].informativeText, "Could not change launch at login setting: Permission denied");
    EXPECT_EQ(alerts.shown[0].buttons, std::vector<std::string>{"OK"});
}

TEST_F(AppDelegateTest, ErrorAlertTextsAreNotTranslated) {
    MapStringTable turkish{{"accessibility.permission_required", "Erişilebilirlik İzni Gerekli"}};
    AppDelegate translated({transport, menu, alerts, permission, loginItem, queue, turkish, [] {}});
    loginItem.failure = "x";
    translated.toggleLaunchAtLogin();
    translated.showAccessibilityAlert();
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[0].messageText, "Launch at Login Error");
    EXPECT_EQ(alerts.shown[1].messageText, "Erişilebilirlik İzni Gerekli");
}

TEST_F(AppDelegateTest, QuitTerminates) {
    delegate->applicationDidFinishLaunching();
    menu.handler(MenuAction::quit);
    EXPECT_EQ(terminated, 1);
}

TEST_F(AppDelegateTest, SetupRunsOnlyOnce) {
    delegate->applicationDidFinishLaunching();
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(std::count(log.begin(), log.end(), "transport.start"), 1);
}

} // namespace
} // namespace vemdo
