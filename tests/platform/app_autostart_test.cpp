// SPDX-License-Identifier: MIT
#include "platform/autostart_login_item.h"
#include "platform/single_instance_lock.h"
#include "transport/string_table.h"
#include "transport/task_queue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <stdlib.h>
#include <unistd.h>

namespace vemdo {
namespace {

class TemporaryConfigHome : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vemdo-autostart-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_root = pattern;
        const char* previous = std::getenv("XDG_CONFIG_HOME");
        if (previous)
            m_previous = previous;
        ::setenv("XDG_CONFIG_HOME", m_root.c_str(), 1);
    }
    void TearDown() override {
        if (m_previous)
            ::setenv("XDG_CONFIG_HOME", m_previous->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(m_root);
    }
    std::string read(const std::filesystem::path& file) {
        std::ifstream in(file);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::filesystem::path m_root;
    std::optional<std::string> m_previous;
};

TEST_F(TemporaryConfigHome, DefaultDirectoryIsUnderTheConfigHome) {
    EXPECT_EQ(AutostartLoginItem::defaultDirectory(), m_root / "autostart");
}

TEST_F(TemporaryConfigHome, RegisterAndUnregister) {
    AutostartLoginItem item(m_root / "autostart", "/opt/vemdo/bin/vemdo-trackpad");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    auto change = item.registerItem();
    ASSERT_TRUE(change.succeeded) << change.errorDescription;
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    const std::string text = read(m_root / "autostart" / "vemdo-trackpad.desktop");
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/vemdo/bin/vemdo-trackpad\"\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    // Registering again keeps it registered.
    EXPECT_TRUE(item.registerItem().succeeded);
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    change = item.unregisterItem();
    ASSERT_TRUE(change.succeeded) << change.errorDescription;
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_FALSE(std::filesystem::exists(m_root / "autostart" / "vemdo-trackpad.desktop"));
    // Nothing left to remove is not an error.
    EXPECT_TRUE(item.unregisterItem().succeeded);
}

TEST_F(TemporaryConfigHome, EntriesSwitchedOffByTheDesktopNeedApproval) {
    struct Case {
        std::string text;
        LoginItemStatus status;
    };
    const Case cases[] = {
        {"[Desktop Entry]\nType=Application\nExec=x\n", LoginItemStatus::enabled},
        {"[Desktop Entry]\nHidden=true\n", LoginItemStatus::requiresApproval},
        {"[Desktop Entry]\nHidden = true\n", LoginItemStatus::requiresApproval},
        {"[Desktop Entry]\nHidden=false\n", LoginItemStatus::enabled},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", LoginItemStatus::requiresApproval},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n", LoginItemStatus::enabled},
        // Keys of other groups do not count.
        {"[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n", LoginItemStatus::enabled},
    };
    AutostartLoginItem item(m_root / "autostart", "/usr/bin/vemdo-trackpad");
    std::filesystem::create_directories(m_root / "autostart");
    for (const auto& c : cases) {
        std::ofstream(m_root / "autostart" / "vemdo-trackpad.desktop") << c.text;
        EXPECT_EQ(item.status(), c.status) << c.text;
    }
    // Registering an entry the desktop switched off makes it active again.
    std::ofstream(m_root / "autostart" / "vemdo-trackpad.desktop") << "[Desktop Entry]\nHidden=true\n";
    ASSERT_TRUE(item.registerItem().succeeded);
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
}

TEST_F(TemporaryConfigHome, UnknownProgramPathIsNotFound) {
    AutostartLoginItem item(m_root / "autostart", std::filesystem::path());
    EXPECT_EQ(item.status(), LoginItemStatus::notFound);
    auto change = item.registerItem();
    EXPECT_FALSE(change.succeeded);
    EXPECT_FALSE(change.errorDescription.empty());
    EXPECT_FALSE(std::filesystem::exists(m_root / "autostart"));
}

TEST_F(TemporaryConfigHome, UnwritableDirectoryReportsTheSystemsDescription) {
    // A file where the directory should be fails even for root, unlike a mode bit.
    std::ofstream(m_root / "autostart") << "not a directory";
    AutostartLoginItem item(m_root / "autostart", "/usr/bin/vemdo-trackpad");
    auto change = item.registerItem();
    EXPECT_FALSE(change.succeeded);
    EXPECT_FALSE(change.errorDescription.empty());
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
}

// The delegate's error alert over the real autostart entry.
class RecordingAlerts final : public AlertPresenter {
public:
    int runModal(const AlertRequest& alert) override {
        shown.push_back(alert);
        return 0;
    }
    std::vector<AlertRequest> shown;
};

TEST_F(TemporaryConfigHome, FailedChangeShowsTheSystemsDescriptionInTheAlert) {
    std::ofstream(m_root / "autostart") << "not a directory";
    AutostartLoginItem item(m_root / "autostart", "/usr/bin/vemdo-trackpad");
    const std::string description = item.registerItem().errorDescription;
    ASSERT_FALSE(description.empty());

    RecordingAlerts alerts;
    struct NoMenu final : StatusMenuPresenter {
        void createStatusItem(const SymbolIcon&) override {}
        void setActionHandler(std::function<void(MenuAction)>) override {}
        void showEntries(const std::vector<MenuEntry>&) override { ++shown; }
        void cancelTracking() override {}
        bool hasStatusButton() const override { return false; }
        void popUpAtStatusItem() override {}
        int shown = 0;
    } menu;
    struct Idle final : TransportFacade {
        bool isListening() override { return false; }
        int connectedClients() override { return 0; }
        std::optional<std::string> currentPairingCode() override { return std::nullopt; }
        bool pairingStopped() override { return false; }
        void start() override {}
        void regeneratePairingCode() override {}
    } transport;
    struct Trusted final : PermissionQuery {
        bool isTrusted() override { return true; }
        bool isTrustedWithPrompt() override { return true; }
        void openAccessibilitySettings() override {}
    } permission;
    struct NoQueue final : TaskQueue {
        void post(std::function<void()>) override {}
        void postDelayed(std::chrono::milliseconds, std::function<void()>) override {}
    } queue;
    struct Defaults final : StringTable {
        std::string text(std::string_view, std::string_view defaultText) const override {
            return std::string(defaultText);
        }
    } strings;
    AppDelegate delegate({transport, menu, alerts, permission, item, queue, strings, [] {}});
    delegate.toggleLaunchAtLogin();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText, "Launch at Login Error");
    EXPECT_EQ(alerts.shown[0].informativeText, "Could not change launch at login setting: " + description);
    EXPECT_EQ(alerts.shown[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(menu.shown, 0);

    // With the directory writable again, the same toggle registers and rebuilds the menu.
    std::filesystem::remove(m_root / "autostart");
    delegate.toggleLaunchAtLogin();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_EQ(menu.shown, 1);
    delegate.toggleLaunchAtLogin();
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(menu.shown, 2);
}

TEST(AutostartEntry, ExecQuotesThePath) {
    struct Case {
        std::string path;
        std::string exec;
    };
    const Case cases[] = {
        {"/usr/bin/vemdo-trackpad", "Exec=\"/usr/bin/vemdo-trackpad\"\n"},
        {"/home/a b/vemdo", "Exec=\"/home/a b/vemdo\"\n"},
        {"/x/$HOME/100%", "Exec=\"/x/\\\\$HOME/100%%\"\n"},
        {"/x/\"q\"", "Exec=\"/x/\\\\\"q\\\\\"\"\n"},
    };
    for (const auto& c : cases) {
        const std::string text = AutostartLoginItem::entryText(c.path);
        EXPECT_NE(text.find(c.exec), std::string::npos) << text;
    }
}

TEST_F(TemporaryConfigHome, SecondLockIsRefusedUntilTheFirstIsGone) {
    const auto file = SingleInstanceLock::defaultFile();
    EXPECT_EQ(file, m_root / "vemdo-trackpad" / "instance.lock");
    {
        SingleInstanceLock first(file);
        ASSERT_EQ(first.outcome(), SingleInstanceLock::Outcome::acquired) << first.error();
        SingleInstanceLock second(file);
        EXPECT_EQ(second.outcome(), SingleInstanceLock::Outcome::heldByAnother);
        EXPECT_EQ(second.holder(), static_cast<long>(::getpid()));
    }
    SingleInstanceLock again(file);
    EXPECT_EQ(again.outcome(), SingleInstanceLock::Outcome::acquired);
}

TEST_F(TemporaryConfigHome, LockInAnImpossiblePlaceFails) {
    std::ofstream(m_root / "file") << "x";
    SingleInstanceLock lock(m_root / "file" / "instance.lock");
    EXPECT_EQ(lock.outcome(), SingleInstanceLock::Outcome::failed);
    EXPECT_FALSE(lock.error().empty());
}

} // namespace
} // namespace vemdo
