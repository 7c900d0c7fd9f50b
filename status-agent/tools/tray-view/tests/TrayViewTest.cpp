// vantrel-tray-view as a process, against a tray item served by this test.
#include "PrivateBus.h"
#include "platform/linux/TrayItem.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using platform::tray::TrayItem;
using platform::tray::TrayMenuRow;

class TrayViewTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start"; }

    std::unique_ptr<test::ChildProcess> view(std::vector<std::string> arguments,
                                             const std::string& busAddress = {}) {
        arguments.insert(arguments.begin(), VANTREL_TRAY_VIEW_EXECUTABLE);
        return std::make_unique<test::ChildProcess>(
            arguments,
            std::map<std::string, std::string>{
                {"DBUS_SESSION_BUS_ADDRESS", busAddress.empty() ? bus.address() : busAddress}});
    }

    // The item lives in this thread, so the loop must turn while a viewer works.
    static bool showsLine(test::ChildProcess& process, const std::string& text) {
        return test::spinUntil([&] { return process.output().find(text) != std::string::npos; },
                               10s);
    }

    static std::optional<int> exitOf(test::ChildProcess& process) {
        std::optional<int> status;
        test::spinUntil([&] { return (status = process.wait(0ms)).has_value(); }, 15s);
        return status;
    }

    test::PrivateBus bus;
};

TEST_F(TrayViewTest, PrintsChangesClicksAndEndsOnConditions) {
    auto viewer = view({"--until-gone", "--timeout", "30"});
    ASSERT_TRUE(showsLine(*viewer, "watcher: this tool is the tray host"));

    platform::tray::TrayItemOptions options;
    options.busAddress = bus.address();
    auto item = TrayItem::connect(options);
    ASSERT_NE(item, nullptr);
    int refreshes = 0;
    item->setText("VT");
    item->setToolTip("Vantrel");
    item->setMenu({
        {false, "Local API: Checking\u2026", false, "", nullptr},
        {true, "", true, "", nullptr},
        {false, "Refresh Status", true, "r", [&] { ++refreshes; }},
    });
    ASSERT_TRUE(showsLine(*viewer, "menu 3 \"Refresh Status\" (r)\n"));
    item->setRowTitle(0, "Local API: Running");
    item->setText("VT \u25cf");
    ASSERT_TRUE(showsLine(*viewer, "menu 1 \"Local API: Running\" disabled\n"));
    ASSERT_TRUE(showsLine(*viewer, "text \"VT \u25cf\"\n"));

    // A change prints only what changed.
    const std::string printed = viewer->output();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'),
              1 /*watcher*/ + 1 /*item*/ + 2 /*text, tooltip*/ + 3 /*menu*/ + 2)
        << printed;

    // A second viewer finds the watcher taken and reads the item directly.
    auto clicker = view({"--click", "Refresh Status", "--until", "Local API: Stopped"});
    ASSERT_TRUE(test::spinUntil([&] { return refreshes == 1; }, 10s)) << clicker->output();
    item->setRowTitle(0, "Local API: Stopped");
    EXPECT_EQ(exitOf(*clicker), 0) << clicker->output();
    EXPECT_NE(clicker->output().find("watcher: held by the desktop, reading items directly"),
              std::string::npos);
    EXPECT_NE(clicker->output().find("click \"Refresh Status\""), std::string::npos);

    struct Failing {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    };
    const Failing failing[] = {
        {{"--click", "No Such Row", "--timeout", "1"}, 1, "timed out"},
        {{"--click", "Local API: Stopped", "--timeout", "1", "--quiet"}, 1, "timed out"},
        {{"--timeout", "soon"}, 2, "--timeout wants seconds"},
        {{"--bogus"}, 2, "unexpected argument --bogus"},
        {{"--timeout", "1", "--quiet"}, 1, "vantrel-tray-view: cannot reach the session bus\n"},
    };
    for (const auto& c : failing) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments.at(1 % c.arguments.size()));
        const bool noBus = c.says.find("session bus") != std::string::npos;
        auto run = view(c.arguments, noBus ? "unix:path=/nonexistent/vantrel-no-bus" : "");
        EXPECT_EQ(exitOf(*run), c.status);
        EXPECT_NE(run->output().find(c.says), std::string::npos) << run->output();
        if (c.arguments.back() == "--quiet") {
            EXPECT_EQ(run->output(), noBus ? c.says : "vantrel-tray-view: timed out\n");
        }
    }
    EXPECT_EQ(refreshes, 1);

    // The first viewer reports the item leaving, then ends as asked.
    const std::string name = item->busName();
    item.reset();
    EXPECT_EQ(exitOf(*viewer), 0);
    EXPECT_NE(viewer->output().find("item " + name + " gone\n"), std::string::npos);
}

} // namespace
} // namespace vantrel
