// The tray item alone, on a private bus, read the way panels read it: through
// the watcher, GetAll, GetLayout and the change signals.
#include "platform/linux/TrayItem.h"
#include "PrivateBus.h"
#include "TrayHost.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <map>

namespace vantrel {
namespace {

using platform::tray::TrayItem;
using platform::tray::TrayItemOptions;
using platform::tray::TrayMenuRow;
using trayview::TrayHost;

using namespace std::chrono_literals;

const std::string running = "VT \u25cf";

// A connection of the test's own that makes raw calls and records signals.
// Calls are asynchronous, since the item answers from this same thread.
class BusClient {
  public:
    explicit BusClient(const std::string& address)
        : connection_(g_dbus_connection_new_for_address_sync(
              address.c_str(),
              static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
              nullptr, nullptr, nullptr)) {}
    ~BusClient() {
        if (connection_ != nullptr) {
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
    }
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    struct Result {
        std::string reply; // in GVariant text form
        std::string error; // the D-Bus error's name
        std::string type;  // of the reply, e.g. "(u(ia{sv}av))"
    };
    // Parameters in GVariant text form, e.g. "(0, -1, @as [])". The call waits
    // on a thread of its own while this one turns the loop the item answers from.
    Result call(const std::string& destination, const std::string& path,
                const std::string& interface, const std::string& method,
                const std::string& parameters) {
        auto pending = std::async(std::launch::async, [&] {
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_sync(
                connection_, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
                g_variant_parse(nullptr, parameters.c_str(), nullptr, nullptr, nullptr), nullptr,
                G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
            Result result;
            if (reply == nullptr) {
                gchar* name = g_dbus_error_get_remote_error(error);
                result.error = name != nullptr ? name : error->message;
                g_free(name);
                g_error_free(error);
                return result;
            }
            gchar* text = g_variant_print(reply, FALSE);
            result = {text, "", g_variant_get_type_string(reply)};
            g_free(text);
            g_variant_unref(reply);
            return result;
        });
        test::spinUntil([&] { return pending.wait_for(0s) == std::future_status::ready; }, 10s);
        return pending.get();
    }

    // Records, as "Member arguments", every signal the owner of `busName` sends from now on.
    void recordSignalsFrom(const std::string& busName) {
        g_dbus_connection_signal_subscribe(
            connection_, busName.c_str(), nullptr, nullptr, nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
               GVariant* parameters, gpointer data) {
                gchar* text = g_variant_print(parameters, FALSE);
                static_cast<std::vector<std::string>*>(data)->push_back(std::string(member) + " " +
                                                                        text);
                g_free(text);
            },
            &signals, nullptr);
        // A round trip to the bus, so that the match is in place on return.
        call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
             "()");
    }

    std::vector<std::string> signals;

  private:
    GDBusConnection* connection_;
};

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
    BusClient client{bus.address()};
    std::map<int, int> clicks;
};

TEST_F(TrayItemTest, EveryPropertyAndMenuCallAnswers) {
    auto item = connectItem();
    item->setMenu(agentMenu());
    const std::string name = item->busName();

    // Menu calls unless `item`; an empty reply expects the error. `counts` is
    // the row whose click must have acted, or 0.
    struct Case {
        bool item;
        std::string method;
        std::string parameters;
        std::string reply;
        std::string error;
        int counts = 0;
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
        // GTK panels and GNOME send an int32, Plasma an empty string.
        {false, "Event", "(3, 'clicked', <int32 0>, uint32 0)", "()", "", 3},
        {false, "Event", "(7, 'clicked', <''>, uint32 0)", "()", "", 7},
        // Pointing at or opening a row, and clicking inert rows, do nothing.
        {false, "Event", "(3, 'hovered', <int32 0>, uint32 0)", "()", ""},
        {false, "Event", "(0, 'opened', <int32 0>, uint32 0)", "()", ""},
        {false, "Event", "(1, 'clicked', <int32 0>, uint32 0)", "()", ""},
        {false, "Event", "(2, 'clicked', <int32 0>, uint32 0)", "()", ""},
        {false, "Event", "(-1, 'clicked', <0>, uint32 0)", "", invalid},
        // A batch acts on the ids it knows and names the others.
        {false, "EventGroup", "([(4, 'clicked', <0>, uint32 0), (99, 'clicked', <0>, uint32 0)],)",
         "([99],)", "", 4},
        {false, "EventGroup", "([(42, 'clicked', <0>, uint32 0)],)", "", invalid},
        // With ItemIsMenu, a click opens the menu; there is deliberately no Activate.
        {true, "Activate", "(0, 0)", "", "org.freedesktop.DBus.Error.UnknownMethod"},
        {true, "Scroll", "(1, 'Vertical')", "()", ""},
        {true, "SecondaryActivate", "(0, 0)", "()", ""},
    };
    std::map<int, int> expectedClicks;
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
        settle(name);
        if (c.counts != 0) {
            ++expectedClicks[c.counts];
        }
        EXPECT_EQ(clicks, expectedClicks);
    }

    // Empty ids mean every item, the root included.
    const auto group = client.call(name, "/MenuBar", "com.canonical.dbusmenu", "GetGroupProperties",
                                   "(@ai [], @as [])");
    for (int id = 0; id <= 7; ++id) {
        EXPECT_NE(group.reply.find("(" + std::to_string(id) + ", {"), std::string::npos) << id;
    }
    EXPECT_EQ(std::count(group.reply.begin(), group.reply.end(), '('), 1 + 8);
}

TEST_F(TrayItemTest, ChangesAreAnnouncedOnceEach) {
    auto item = connectItem();
    item->setText("VT");
    item->setToolTip("Vantrel");
    item->setMenu(agentMenu());
    const std::string name = item->busName();
    settle(name);
    client.recordSignalsFrom(name);

    item->setRowTitle(0, "Local API: Running");
    item->setText(running);
    settle(name);
    EXPECT_EQ(client.signals,
              (std::vector<std::string>{
                  "ItemsPropertiesUpdated ([(1, {'label': <'Local API: Running'>})], [])",
                  "XAyatanaNewLabel ('" + running + "', '" + running + "')",
                  "NewIcon ()",
              }));

    // Setting what is already shown tells nobody anything.
    client.signals.clear();
    item->setRowTitle(0, "Local API: Running");
    item->setText(running);
    item->setToolTip("Vantrel");
    item->setRowTitle(1, "a separator has no title");
    item->setRowTitle(99, "no such row");
    settle(name);
    EXPECT_EQ(client.signals, std::vector<std::string>{});

    // Run-time text cannot turn into a mnemonic; a new menu raises the revision.
    auto menu = agentMenu();
    menu[2].title = "Open_File";
    item->setMenu(menu);
    item->setToolTip("Something else");
    settle(name);
    ASSERT_EQ(client.signals.size(), 2u);
    EXPECT_EQ(client.signals[0], "LayoutUpdated (3, 0)");
    EXPECT_EQ(client.signals[1].rfind("NewToolTip ", 0), 0u) << client.signals[1];
    const auto layout =
        client.call(name, "/MenuBar", "com.canonical.dbusmenu", "GetLayout", "(3, 0, ['label'])");
    EXPECT_EQ(layout.reply, "(3, (3, {'label': <'Open__File'>}, []))");
}

TEST_F(TrayItemTest, RegistersWithEveryWatcherThatAppears) {
    // The panel starts after the agent.
    auto item = connectItem();
    item->setMenu(agentMenu());
    settle(item->busName());
    EXPECT_FALSE(item->isRegistered());

    trayview::HostOptions options;
    options.busAddress = bus.address();
    for (int panelStart = 1; panelStart <= 2; ++panelStart) {
        SCOPED_TRACE("panel start " + std::to_string(panelStart));
        auto host = TrayHost::connect(options, {});
        ASSERT_NE(host, nullptr);
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
}

} // namespace
} // namespace vantrel
