// The tray item alone, on a private bus, read the way panels read it: through
// the watcher, GetAll, GetLayout and the change signals.
#include "platform/linux/TrayItem.h"
#include "PrivateBus.h"
#include "TrayHost.h"
#include "platform/linux/TrayStatusItem.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace vantrel {
namespace {

using platform::tray::TrayItem;
using platform::tray::TrayItemOptions;
using platform::tray::TrayMenuRow;
using trayview::TrayHost;

const std::string running = "VT \u25cf";
const std::string notRunning = "VT \u25cb";

class TrayItemTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start"; }

    std::unique_ptr<TrayItem> connectItem() {
        TrayItemOptions options;
        options.busAddress = bus.address();
        auto item = TrayItem::connect(options);
        EXPECT_NE(item, nullptr);
        return item;
    }

    std::unique_ptr<TrayHost> connectHost() {
        trayview::HostOptions options;
        options.busAddress = bus.address();
        auto host = TrayHost::connect(options, {});
        EXPECT_NE(host, nullptr);
        return host;
    }

    // The agent's menu, each active row counting its clicks.
    std::vector<TrayMenuRow> agentMenu() {
        const auto counting = [this](int id) { return [this, id] { ++clicks[id]; }; };
        return {
            {false, "Local API: Checking\u2026", false, "", counting(1)}, // disabled: never counts
            {true, "", true, "", nullptr},
            {false, "Open Vantrel", true, "o", counting(3)},
            {false, "Refresh Status", true, "r", counting(4)},
            {false, "Open Settings to Stop API", true, "s", counting(5)},
            {true, "", true, "", nullptr},
            {false, "Quit Status Menu", true, "q", counting(7)},
        };
    }

    // A full round trip to the item: everything it sent before has arrived,
    // and what it queued for the main loop has run.
    void settle(const std::string& busName) {
        client.call(busName, "/MenuBar", "org.freedesktop.DBus.Properties", "Get",
                    "('com.canonical.dbusmenu', 'Version')");
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }

    test::PrivateBus bus;
    test::BusClient client{bus.address()};
    std::map<int, int> clicks;
};

TEST_F(TrayItemTest, EveryPropertyAndMenuCallAnswers) {
    auto item = connectItem();
    item->setText(running);
    item->setToolTip("Vantrel");
    item->setMenu(agentMenu());
    const std::string name = item->busName();

    // Panels read the item with one GetAll and drop it if any getter fails.
    const auto all = client.call(name, "/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                                 "GetAll", "('org.kde.StatusNotifierItem',)");
    EXPECT_EQ(all.error, "");
    EXPECT_NE(all.reply.find("'XAyatanaLabel': <'" + running + "'>"), std::string::npos);

    // Menu calls unless `item`; an empty reply expects the error.
    struct Case {
        bool item;
        std::string method;
        std::string parameters;
        std::string reply;
        std::string error;
    };
    const std::string invalid = "org.freedesktop.DBus.Error.InvalidArgs";
    const Case cases[] = {
        {false, "GetLayout", "(0, 0, @as [])", "(2, (0, {'children-display': <'submenu'>}, []))",
         ""},
        // GNOME's first question: types and structure only.
        {false, "GetLayout", "(0, -1, ['type', 'children-display'])",
         "(2, (0, {'children-display': <'submenu'>}, [<(1, @a{sv} {}, @av [])>, "
         "<(2, {'type': <'separator'>}, @av [])>, <(3, @a{sv} {}, @av [])>, "
         "<(4, @a{sv} {}, @av [])>, <(5, @a{sv} {}, @av [])>, "
         "<(6, {'type': <'separator'>}, @av [])>, <(7, @a{sv} {}, @av [])>]))",
         ""},
        {false, "GetLayout", "(3, -1, @as [])",
         "(2, (3, {'label': <'Open Vantrel'>, 'shortcut': <[['o']]>}, []))", ""},
        {false, "GetLayout", "(8, -1, @as [])", "", invalid},
        {false, "GetGroupProperties", "([1, 3, 42], ['label'])",
         "([(1, {'label': <'Local API: Checking\u2026'>}), (3, {'label': <'Open Vantrel'>})],)",
         ""},
        {false, "GetProperty", "(1, 'enabled')", "(<false>,)", ""},
        {false, "GetProperty", "(3, 'no-such-thing')", "", invalid},
        {false, "AboutToShow", "(0,)", "(false,)", ""},
        {false, "AboutToShow", "(99,)", "", invalid},
        {false, "AboutToShowGroup", "([0, 99],)", "([], [99])", ""},
        {false, "Event", "(-1, 'clicked', <0>, uint32 0)", "", invalid},
        {false, "EventGroup", "([(42, 'clicked', <0>, uint32 0)],)", "", invalid},
        // With ItemIsMenu, a click opens the menu; there is deliberately no Activate.
        {true, "Activate", "(0, 0)", "", "org.freedesktop.DBus.Error.UnknownMethod"},
        {true, "Scroll", "(1, 'Vertical')", "()", ""},
        {true, "SecondaryActivate", "(0, 0)", "()", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.parameters);
        const auto result =
            c.item
                ? client.call(name, "/StatusNotifierItem", "org.kde.StatusNotifierItem", c.method,
                              c.parameters)
                : client.call(name, "/MenuBar", "com.canonical.dbusmenu", c.method, c.parameters);
        EXPECT_EQ(result.reply, c.reply);
        EXPECT_EQ(result.error, c.error);
        if (c.method == "GetLayout" && c.error.empty()) {
            EXPECT_EQ(result.type, "(u(ia{sv}av))");
        }
    }

    // Empty ids mean every item, the root included.
    const auto group = client.call(name, "/MenuBar", "com.canonical.dbusmenu", "GetGroupProperties",
                                   "(@ai [], @as [])");
    for (int id = 0; id <= 7; ++id) {
        EXPECT_NE(group.reply.find("(" + std::to_string(id) + ", {"), std::string::npos) << id;
    }
    EXPECT_EQ(std::count(group.reply.begin(), group.reply.end(), '('), 1 + 8);
}

TEST_F(TrayItemTest, OnlyClicksOnActiveRowsAct) {
    auto item = connectItem();
    item->setMenu(agentMenu());
    const std::string name = item->busName();

    struct Case {
        std::string parameters;
        int counts; // the row whose click counts, or 0
    };
    const Case cases[] = {
        // GTK panels and GNOME send an int32, Plasma an empty string.
        {"(3, 'clicked', <int32 0>, uint32 0)", 3},
        {"(4, 'clicked', <''>, uint32 0)", 4},
        {"(7, 'clicked', <int32 0>, uint32 0)", 7},
        // Pointing at or opening a row, and clicking inert rows, do nothing.
        {"(3, 'hovered', <int32 0>, uint32 0)", 0},
        {"(0, 'opened', <int32 0>, uint32 0)", 0},
        {"(1, 'clicked', <int32 0>, uint32 0)", 0},
        {"(2, 'clicked', <int32 0>, uint32 0)", 0},
    };
    std::map<int, int> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.parameters);
        const auto result =
            client.call(name, "/MenuBar", "com.canonical.dbusmenu", "Event", c.parameters);
        EXPECT_EQ(result.reply, "()");
        EXPECT_EQ(result.error, "");
        settle(name);
        if (c.counts != 0) {
            ++expected[c.counts];
        }
        EXPECT_EQ(clicks, expected);
    }

    // A batch acts on the ids it knows and names the others.
    const auto batch =
        client.call(name, "/MenuBar", "com.canonical.dbusmenu", "EventGroup",
                    "([(4, 'clicked', <0>, uint32 0), (99, 'clicked', <0>, uint32 0)],)");
    EXPECT_EQ(batch.reply, "([99],)");
    settle(name);
    EXPECT_EQ(clicks[4], 2);
}

TEST_F(TrayItemTest, ChangesAreAnnouncedOnceEach) {
    auto host = connectHost();
    auto item = connectItem();
    item->setText("VT");
    item->setToolTip("Vantrel");
    item->setMenu(agentMenu());
    const std::string name = item->busName();
    ASSERT_TRUE(test::spinUntil([&] { return host->item() && host->item()->menuRead; }));
    const auto iconBefore = host->item()->icon;
    client.recordSignalsFrom(name);

    item->setRowTitle(0, "Local API: Running");
    item->setText(running);
    settle(name);
    std::vector<std::string> seen;
    for (const auto& signal : client.signals()) {
        seen.push_back(signal.member + " " + signal.arguments);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "ItemsPropertiesUpdated ([(1, {'label': <'Local API: Running'>})], [])",
                        "XAyatanaNewLabel ('" + running + "', '" + running + "')",
                        "NewIcon ()",
                    }));
    ASSERT_TRUE(test::spinUntil([&] {
        const auto* state = host->item();
        return state->text == running && state->row("Local API: Running") != nullptr &&
               state->icon != iconBefore;
    }));

    // Setting what is already shown tells nobody anything.
    client.clearSignals();
    item->setRowTitle(0, "Local API: Running");
    item->setText(running);
    item->setToolTip("Vantrel");
    item->setRowTitle(1, "a separator has no title");
    item->setRowTitle(99, "no such row");
    settle(name);
    EXPECT_TRUE(client.signals().empty()) << client.signals().front().member;

    // Run-time text cannot turn into a mnemonic; a new menu raises the revision.
    auto menu = agentMenu();
    menu[2].title = "Open_File";
    item->setMenu(menu);
    item->setToolTip("Something else");
    settle(name);
    ASSERT_EQ(client.signals().size(), 2u);
    EXPECT_EQ(client.signals()[0].member + " " + client.signals()[0].arguments,
              "LayoutUpdated (3, 0)");
    EXPECT_EQ(client.signals()[1].member, "NewToolTip");
    const auto layout =
        client.call(name, "/MenuBar", "com.canonical.dbusmenu", "GetLayout", "(3, 0, ['label'])");
    EXPECT_EQ(layout.reply, "(3, (3, {'label': <'Open__File'>}, []))");
    ASSERT_TRUE(test::spinUntil([&] {
        return host->item()->row("Open_File") != nullptr &&
               host->item()->toolTipTitle == "Something else";
    }));
}

TEST_F(TrayItemTest, RegistersWithEveryWatcherThatAppears) {
    // The panel starts after the agent.
    auto item = connectItem();
    item->setMenu(agentMenu());
    settle(item->busName());
    EXPECT_FALSE(item->isRegistered());

    for (int panelStart = 1; panelStart <= 2; ++panelStart) {
        SCOPED_TRACE("panel start " + std::to_string(panelStart));
        auto host = connectHost();
        ASSERT_TRUE(test::spinUntil([&] {
            return item->isRegistered() && host->item() != nullptr && host->item()->menuRead;
        }));
        EXPECT_EQ(host->registeredItems(),
                  std::vector<std::string>{item->busName() + "/StatusNotifierItem"});
        EXPECT_EQ(host->item()->rows.size(), 7u);
        // The panel exits (or crashes): the item notices and waits for the next one.
        host.reset();
        ASSERT_TRUE(test::spinUntil([&] { return !item->isRegistered(); }));
    }

    // An item that leaves the bus leaves the watcher's list too.
    auto host = connectHost();
    ASSERT_TRUE(test::spinUntil([&] { return host->registeredItems().size() == 1; }));
    item.reset();
    EXPECT_TRUE(test::spinUntil([&] { return host->registeredItems().empty(); }));
    EXPECT_TRUE(test::spinUntil([&] { return host->item() == nullptr; }));
}

// The platform's status item and menu, as the core drives them: lines are
// added first and attached later, titles change after, and each click reaches
// the action its line was added with. The agent's own menu is end to end.
TEST_F(TrayItemTest, PlatformsStatusItemMapsLinesToActions) {
    using platform::Action;
    auto host = connectHost();
    std::vector<Action> performed;
    TrayItemOptions options;
    options.busAddress = bus.address();
    auto statusItem = platform::tray::createTrayStatusItem(
        [&](Action action) { performed.push_back(action); }, options);
    ASSERT_NE(statusItem, nullptr);
    statusItem->button()->setTitle("VT");

    auto menu = platform::tray::createTrayMenu();
    auto stateLine = menu->addItem("Checking", std::nullopt, "");
    menu->addSeparator();
    menu->addItem("Refresh", Action::refreshStatus, "r");
    stateLine->setTitle("Before attaching");
    menu->addItem("Quit", Action::quitMenu, "q");
    statusItem->setMenu(menu);
    ASSERT_TRUE(test::spinUntil([&] {
        const auto* state = host->item();
        return state != nullptr && state->menuRead && state->row("Before attaching") != nullptr;
    }));
    const auto* state = host->item();
    EXPECT_EQ(state->rows.size(), 4u);
    EXPECT_FALSE(state->row("Before attaching")->enabled);

    stateLine->setTitle("After");
    statusItem->button()->setTitle(notRunning);
    ASSERT_TRUE(test::spinUntil(
        [&] { return state->row("After") != nullptr && state->text == notRunning; }));
    for (const char* title : {"Quit", "Refresh"}) {
        std::optional<std::string> answer;
        host->click(title, [&](const std::string& error) { answer = error; });
        ASSERT_TRUE(test::spinUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(*answer, "");
    }
    EXPECT_TRUE(test::spinUntil([&] {
        return performed == std::vector<Action>{Action::quitMenu, Action::refreshStatus};
    }));
}

TEST(TrayWithoutBus, NoBusMeansNoItem) {
    for (const std::string address :
         {"unix:path=/nonexistent/vantrel-no-bus", "tcp:host=127.0.0.1,port=1"}) {
        SCOPED_TRACE(address);
        TrayItemOptions options;
        options.busAddress = address;
        EXPECT_EQ(TrayItem::connect(options), nullptr);
        EXPECT_EQ(platform::tray::createTrayStatusItem([](platform::Action) {}, options), nullptr);
    }
}

} // namespace
} // namespace vantrel
