// The tray item on the session bus. Hosts (Plasma, GNOME's AppIndicator
// extension, Waybar, swaybar, Xfce...) find it through the
// org.kde.StatusNotifierWatcher, read its properties and menu, and listen for
// the New* and dbusmenu signals; nothing here waits for a host.
#include "TrayItem.h"
#include "TrayProtocol.h"

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string_view>
#include <utility>

namespace vantrel::platform::tray {
namespace {

constexpr const char* menuPath = "/MenuBar";
constexpr const char* invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

// Activate and ContextMenu are left out on purpose: with ItemIsMenu set, hosts
// open the menu on a click, and GNOME, seeing no Activate, opens it at once
// instead of waiting out the double-click delay.
constexpr const char* introspection = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <method name="SecondaryActivate">
      <arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/>
    </method>
    <method name="XAyatanaSecondaryActivate">
      <arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="Scroll">
      <arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/>
    </method>
    <method name="ProvideXdgActivationToken">
      <arg name="token" type="s" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
    <signal name="XAyatanaNewLabel">
      <arg name="label" type="s"/><arg name="guide" type="s"/>
    </signal>
  </interface>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/>
      <arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/>
      <arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/>
      <arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/>
      <arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/>
      <arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="updatesNeeded" type="ai" direction="out"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/>
      <arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg name="revision" type="u"/><arg name="parent" type="i"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg name="id" type="i"/><arg name="timestamp" type="u"/>
    </signal>
  </interface>
</node>)xml";

// Each item of the process gets its own name suffix.
std::atomic<int> itemCounter{0};

// Menu labels treat "_" as a mnemonic marker; a doubled one shows as itself.
std::string escapeLabel(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '_') {
            out += '_';
        }
    }
    return out;
}

GVariant* pixmapsVariant(const std::vector<TrayPixmap>& pixmaps) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (const auto& pixmap : pixmaps) {
        g_variant_builder_add(&builder, "(ii@ay)", pixmap.width, pixmap.height,
                              g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixmap.argb.data(),
                                                        pixmap.argb.size(), sizeof(std::uint8_t)));
    }
    return g_variant_builder_end(&builder);
}

// The value a menu item takes when the key is absent, for GetProperty.
GVariant* defaultItemProperty(std::string_view name) {
    if (name == "type") {
        return g_variant_new_string("standard");
    }
    if (name == "label" || name == "icon-name" || name == "toggle-type" ||
        name == "children-display") {
        return g_variant_new_string("");
    }
    if (name == "enabled" || name == "visible") {
        return g_variant_new_boolean(TRUE);
    }
    if (name == "disposition") {
        return g_variant_new_string("normal");
    }
    if (name == "toggle-state") {
        return g_variant_new_int32(-1);
    }
    if (name == "shortcut") {
        return g_variant_new_array(G_VARIANT_TYPE("as"), nullptr, 0);
    }
    return nullptr;
}

// Names of the properties a caller asked for; empty means all.
std::vector<std::string> propertyFilter(GVariantIter* names) {
    std::vector<std::string> filter;
    const gchar* name = nullptr;
    while (g_variant_iter_next(names, "&s", &name)) {
        filter.emplace_back(name);
    }
    return filter;
}

} // namespace

struct TrayItem::Impl {
    TrayItemOptions options;
    GDBusConnection* connection = nullptr;
    GMainContext* context = nullptr;
    GDBusNodeInfo* nodeInfo = nullptr;
    GCancellable* cancellable = nullptr;
    guint itemObject = 0;
    guint menuObject = 0;
    guint nameOwnership = 0;
    guint watcherWatch = 0;
    gulong closedHandler = 0;
    std::string busName;
    // The name handed to the watcher: our well-known one, or the unique name
    // if someone else holds it.
    std::string registrationName;
    bool watcherPresent = false;
    bool registered = false;
    unsigned registrationGeneration = 0;

    std::string text;
    std::string toolTip;
    // Icons are drawn when a host first asks for them, not while the state
    // changes, so the change signals leave at once. The agent shows few texts.
    mutable std::map<std::string, std::vector<TrayPixmap>> icons;
    std::vector<TrayMenuRow> rows;
    std::uint32_t revision = 1;

    std::vector<std::int32_t> pendingClicks;
    GSource* clickSource = nullptr;
    // Lets a click handler that destroys the item stop the loop over the rest.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    ~Impl();

    bool knownId(std::int32_t id) const {
        return id >= 0 && static_cast<std::size_t>(id) <= rows.size();
    }
    GVariant* itemProperties(std::int32_t id, const std::vector<std::string>& filter) const;
    GVariant* layoutNode(std::int32_t id, std::int32_t depth,
                         const std::vector<std::string>& filter) const;
    GVariant* itemProperty(const gchar* name) const;
    void emit(const char* path, const char* interface, const char* signal, GVariant* parameters);
    void queueClick(std::int32_t id);
    void runClicks();
    void tryRegister();

    void handleMenuCall(const gchar* method, GVariant* parameters,
                        GDBusMethodInvocation* invocation);

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                             const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer data);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                   const gchar* interface, const gchar* name, GError** error,
                                   gpointer data);
};

TrayItem::Impl::~Impl() {
    *alive = false;
    if (cancellable != nullptr) {
        g_cancellable_cancel(cancellable);
        g_object_unref(cancellable);
    }
    if (clickSource != nullptr) {
        g_source_destroy(clickSource);
        g_source_unref(clickSource);
    }
    if (connection != nullptr) {
        if (closedHandler != 0) {
            g_signal_handler_disconnect(connection, closedHandler);
        }
        if (watcherWatch != 0) {
            g_bus_unwatch_name(watcherWatch);
        }
        if (nameOwnership != 0) {
            g_bus_unown_name(nameOwnership);
        }
        if (itemObject != 0) {
            g_dbus_connection_unregister_object(connection, itemObject);
        }
        if (menuObject != 0) {
            g_dbus_connection_unregister_object(connection, menuObject);
        }
        // Replies already queued (the answer to a Quit click) still go out;
        // closing then drops our names so hosts remove the item at once.
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    if (nodeInfo != nullptr) {
        g_dbus_node_info_unref(nodeInfo);
    }
    if (context != nullptr) {
        g_main_context_unref(context);
    }
}

GVariant* TrayItem::Impl::itemProperties(std::int32_t id,
                                         const std::vector<std::string>& filter) const {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    const auto add = [&](const char* key, GVariant* value) {
        if (filter.empty() || std::find(filter.begin(), filter.end(), key) != filter.end()) {
            g_variant_builder_add(&builder, "{sv}", key, value);
        } else {
            g_variant_unref(g_variant_ref_sink(value));
        }
    };
    // Only values that differ from the defaults travel; a missing key means the default.
    if (id == 0) {
        add("children-display", g_variant_new_string("submenu"));
    } else {
        const auto& row = rows[static_cast<std::size_t>(id - 1)];
        if (row.separator) {
            add("type", g_variant_new_string("separator"));
        } else {
            add("label", g_variant_new_string(escapeLabel(row.title).c_str()));
            if (!row.enabled) {
                add("enabled", g_variant_new_boolean(FALSE));
            }
            if (!row.keyEquivalent.empty()) {
                const gchar* key[] = {row.keyEquivalent.c_str(), nullptr};
                GVariant* press = g_variant_new_strv(key, 1);
                add("shortcut", g_variant_new_array(G_VARIANT_TYPE("as"), &press, 1));
            }
        }
    }
    return g_variant_builder_end(&builder);
}

GVariant* TrayItem::Impl::layoutNode(std::int32_t id, std::int32_t depth,
                                     const std::vector<std::string>& filter) const {
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    // The rows are the root's only children; a negative depth means all levels.
    if (id == 0 && depth != 0) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            g_variant_builder_add(&children, "v",
                                  layoutNode(static_cast<std::int32_t>(i + 1), 0, filter));
        }
    }
    return g_variant_new("(i@a{sv}@av)", id, itemProperties(id, filter),
                         g_variant_builder_end(&children));
}

GVariant* TrayItem::Impl::itemProperty(const gchar* name) const {
    const std::string_view property(name);
    if (property == "Category") {
        return g_variant_new_string("ApplicationStatus");
    }
    if (property == "Id") {
        return g_variant_new_string(options.id.c_str());
    }
    if (property == "Title") {
        return g_variant_new_string(options.title.c_str());
    }
    if (property == "Status") {
        return g_variant_new_string("Active");
    }
    if (property == "WindowId") {
        return g_variant_new_int32(0);
    }
    if (property == "IconPixmap") {
        auto found = icons.find(text);
        if (found == icons.end()) {
            if (icons.size() >= 8) {
                icons.clear();
            }
            found = icons.emplace(text, renderTrayIcon(text)).first;
        }
        return pixmapsVariant(found->second);
    }
    if (property == "OverlayIconPixmap" || property == "AttentionIconPixmap") {
        return pixmapsVariant({});
    }
    if (property == "ToolTip") {
        return g_variant_new("(s@a(iiay)ss)", "", pixmapsVariant({}), toolTip.c_str(), "");
    }
    if (property == "ItemIsMenu") {
        return g_variant_new_boolean(TRUE);
    }
    if (property == "Menu") {
        return g_variant_new_object_path(menuPath);
    }
    if (property == "XAyatanaLabel") {
        return g_variant_new_string(text.c_str());
    }
    if (property == "XAyatanaLabelGuide") {
        return g_variant_new_string(options.labelGuide.c_str());
    }
    // IconThemePath, IconName, OverlayIconName, AttentionIconName, AttentionMovieName:
    // hosts must still get a value, or some mark the whole item invalid.
    return g_variant_new_string("");
}

void TrayItem::Impl::emit(const char* path, const char* interface, const char* signal,
                          GVariant* parameters) {
    // Fails only once the bus has gone; there is nobody left to tell.
    g_dbus_connection_emit_signal(connection, nullptr, path, interface, signal, parameters,
                                  nullptr);
}

void TrayItem::Impl::queueClick(std::int32_t id) {
    pendingClicks.push_back(id);
    if (clickSource == nullptr) {
        clickSource = g_idle_source_new();
        g_source_set_callback(
            clickSource,
            [](gpointer data) -> gboolean {
                static_cast<Impl*>(data)->runClicks();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(clickSource, context);
    }
}

void TrayItem::Impl::runClicks() {
    g_source_unref(clickSource);
    clickSource = nullptr;
    const auto ids = std::exchange(pendingClicks, {});
    const std::weak_ptr<bool> stillAlive = alive;
    for (std::int32_t id : ids) {
        if (stillAlive.expired() || id <= 0 || static_cast<std::size_t>(id) > rows.size()) {
            break;
        }
        const auto& row = rows[static_cast<std::size_t>(id - 1)];
        if (row.separator || !row.enabled || !row.activate) {
            continue;
        }
        // A copy: the action may replace the menu or destroy this item.
        const auto activate = row.activate;
        activate();
    }
}

void TrayItem::Impl::tryRegister() {
    if (!watcherPresent || registrationName.empty()) {
        return;
    }
    struct Attempt {
        Impl* impl;
        unsigned generation;
    };
    auto* attempt = new Attempt{this, ++registrationGeneration};
    g_dbus_connection_call(
        connection, watcherName, watcherPath, watcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", registrationName.c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
        -1, cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* done = static_cast<Attempt*>(data);
            GError* error = nullptr;
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
            // A cancelled call belongs to an item that is gone; a stale one to
            // a watcher that has since been replaced.
            if (!cancelled && done->generation == done->impl->registrationGeneration) {
                done->impl->registered = reply != nullptr;
                if (error != nullptr) {
                    // Nothing to do but wait for the next watcher to appear.
                    g_debug("tray: the watcher refused the item: %s", error->message);
                }
            }
            if (reply != nullptr) {
                g_variant_unref(reply);
            }
            g_clear_error(&error);
            delete done;
        },
        attempt);
}

void TrayItem::Impl::onMethodCall(GDBusConnection*, const gchar*, const gchar*,
                                  const gchar* interface, const gchar* method, GVariant* parameters,
                                  GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (std::string_view(interface) == menuInterface) {
        self->handleMenuCall(method, parameters, invocation);
        return;
    }
    // Secondary clicks, scrolling and activation tokens have no meaning here.
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void TrayItem::Impl::handleMenuCall(const gchar* name, GVariant* parameters,
                                    GDBusMethodInvocation* invocation) {
    const std::string_view method(name);
    // False, with the error sent as the answer, when the id names no item.
    const auto known = [this, invocation](std::int32_t id) {
        if (knownId(id)) {
            return true;
        }
        g_dbus_method_invocation_return_dbus_error(
            invocation, invalidArgs, ("Unknown menu item id " + std::to_string(id)).c_str());
        return false;
    };

    if (method == "GetLayout") {
        std::int32_t parent = 0;
        std::int32_t depth = 0;
        GVariantIter* names = nullptr;
        g_variant_get(parameters, "(iias)", &parent, &depth, &names);
        const auto filter = propertyFilter(names);
        g_variant_iter_free(names);
        if (!known(parent)) {
            return;
        }
        g_dbus_method_invocation_return_value(
            invocation,
            g_variant_new("(u@(ia{sv}av))", revision, layoutNode(parent, depth, filter)));
    } else if (method == "GetGroupProperties") {
        GVariantIter* ids = nullptr;
        GVariantIter* names = nullptr;
        g_variant_get(parameters, "(aias)", &ids, &names);
        const auto filter = propertyFilter(names);
        std::vector<std::int32_t> wanted;
        std::int32_t id = 0;
        while (g_variant_iter_next(ids, "i", &id)) {
            wanted.push_back(id);
        }
        g_variant_iter_free(ids);
        g_variant_iter_free(names);
        if (wanted.empty()) {
            for (std::size_t i = 0; i <= rows.size(); ++i) {
                wanted.push_back(static_cast<std::int32_t>(i));
            }
        }
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ia{sv})"));
        for (std::int32_t each : wanted) {
            // Ids that no longer exist are left out, as the menu may just have changed.
            if (knownId(each)) {
                g_variant_builder_add(&builder, "(i@a{sv})", each, itemProperties(each, filter));
            }
        }
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&builder)));
    } else if (method == "GetProperty") {
        std::int32_t id = 0;
        const gchar* property = nullptr;
        g_variant_get(parameters, "(i&s)", &id, &property);
        if (!known(id)) {
            return;
        }
        GVariant* all = g_variant_ref_sink(itemProperties(id, {}));
        GVariant* value = g_variant_lookup_value(all, property, nullptr);
        g_variant_unref(all);
        if (value == nullptr) {
            if (GVariant* fallback = defaultItemProperty(property)) {
                value = g_variant_ref_sink(fallback);
            }
        }
        if (value == nullptr) {
            g_dbus_method_invocation_return_dbus_error(
                invocation, invalidArgs, (std::string("Unknown property ") + property).c_str());
            return;
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
        g_variant_unref(value);
    } else if (method == "Event") {
        std::int32_t id = 0;
        const gchar* event = nullptr;
        g_variant_get(parameters, "(i&svu)", &id, &event, nullptr, nullptr);
        if (!known(id)) {
            return;
        }
        // Answer first: hosts give up on a call after about a second, and Quit
        // must still be answered before the process ends.
        g_dbus_method_invocation_return_value(invocation, nullptr);
        if (std::string_view(event) == "clicked") {
            queueClick(id);
        }
    } else if (method == "EventGroup") {
        GVariantIter* events = nullptr;
        g_variant_get(parameters, "(a(isvu))", &events);
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        std::size_t count = 0;
        std::size_t failed = 0;
        std::vector<std::int32_t> clicks;
        std::int32_t id = 0;
        const gchar* event = nullptr;
        while (g_variant_iter_next(events, "(i&svu)", &id, &event, nullptr, nullptr)) {
            ++count;
            if (!knownId(id)) {
                ++failed;
                g_variant_builder_add(&errors, "i", id);
            } else if (std::string_view(event) == "clicked") {
                clicks.push_back(id);
            }
        }
        g_variant_iter_free(events);
        if (count > 0 && failed == count) {
            g_variant_builder_clear(&errors);
            g_dbus_method_invocation_return_dbus_error(invocation, invalidArgs,
                                                       "None of the menu item ids is known");
            return;
        }
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(@ai)", g_variant_builder_end(&errors)));
        for (std::int32_t click : clicks) {
            queueClick(click);
        }
    } else if (method == "AboutToShow") {
        std::int32_t id = 0;
        g_variant_get(parameters, "(i)", &id);
        if (!known(id)) {
            return;
        }
        // Every change is pushed with signals, so a host never needs to refetch.
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else if (method == "AboutToShowGroup") {
        GVariantIter* ids = nullptr;
        g_variant_get(parameters, "(ai)", &ids);
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        std::int32_t id = 0;
        while (g_variant_iter_next(ids, "i", &id)) {
            if (!knownId(id)) {
                g_variant_builder_add(&errors, "i", id);
            }
        }
        g_variant_iter_free(ids);
        g_dbus_method_invocation_return_value(
            invocation,
            g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                          g_variant_builder_end(&errors)));
    } else {
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.UnknownMethod", "Unknown method");
    }
}

GVariant* TrayItem::Impl::onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                        const gchar* interface, const gchar* name, GError**,
                                        gpointer data) {
    const auto* self = static_cast<const Impl*>(data);
    if (std::string_view(interface) == itemInterface) {
        return self->itemProperty(name);
    }
    const std::string_view property(name);
    if (property == "Version") {
        return g_variant_new_uint32(3);
    }
    if (property == "TextDirection") {
        return g_variant_new_string("ltr");
    }
    if (property == "Status") {
        return g_variant_new_string("normal");
    }
    return g_variant_new_array(G_VARIANT_TYPE_STRING, nullptr, 0);
}

std::unique_ptr<TrayItem> TrayItem::connect(const TrayItemOptions& options) {
    // Closing our own connection takes the item off every panel at once.
    GDBusConnection* connection = openBusConnection(options.busAddress);
    if (connection == nullptr) {
        return nullptr;
    }

    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->connection = connection;
    impl->context = g_main_context_ref_thread_default();
    impl->cancellable = g_cancellable_new();
    impl->busName =
        itemNamePrefix + std::to_string(::getpid()) + "-" + std::to_string(++itemCounter);

    impl->nodeInfo = g_dbus_node_info_new_for_xml(introspection, nullptr);
    static const GDBusInterfaceVTable vtable = {
        &Impl::onMethodCall, &Impl::onGetProperty, nullptr, {}};
    impl->itemObject = g_dbus_connection_register_object(
        connection, itemPath, g_dbus_node_info_lookup_interface(impl->nodeInfo, itemInterface),
        &vtable, impl.get(), nullptr, nullptr);
    impl->menuObject = g_dbus_connection_register_object(
        connection, menuPath, g_dbus_node_info_lookup_interface(impl->nodeInfo, menuInterface),
        &vtable, impl.get(), nullptr, nullptr);
    if (impl->itemObject == 0 || impl->menuObject == 0) {
        return nullptr;
    }

    impl->closedHandler = g_signal_connect(
        connection, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
            static_cast<Impl*>(data)->registered = false;
        }),
        impl.get());

    impl->nameOwnership = g_bus_own_name_on_connection(
        connection, impl->busName.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
        [](GDBusConnection*, const gchar* name, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            self->registrationName = name;
            self->tryRegister();
        },
        [](GDBusConnection* bus, const gchar*, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            // Someone else holds the name: hosts find the item under our unique
            // name just as well. (Also called once the bus has gone.)
            if (self->registrationName.empty() && !g_dbus_connection_is_closed(bus)) {
                self->registrationName = g_dbus_connection_get_unique_name(bus);
                self->tryRegister();
            }
        },
        impl.get(), nullptr);

    // Fires again every time a panel restarts, so the item comes back with it.
    impl->watcherWatch = g_bus_watch_name_on_connection(
        connection, watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            self->watcherPresent = true;
            self->tryRegister();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            self->watcherPresent = false;
            self->registered = false;
            ++self->registrationGeneration;
        },
        impl.get(), nullptr);

    return std::unique_ptr<TrayItem>(new TrayItem(std::move(impl)));
}

TrayItem::TrayItem(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TrayItem::~TrayItem() = default;

void TrayItem::setText(const std::string& text) {
    if (text == impl_->text) {
        return;
    }
    impl_->text = text;
    impl_->emit(itemPath, itemInterface, "XAyatanaNewLabel",
                g_variant_new("(ss)", text.c_str(), impl_->options.labelGuide.c_str()));
    impl_->emit(itemPath, itemInterface, "NewIcon", nullptr);
}

void TrayItem::setToolTip(const std::string& toolTip) {
    if (toolTip == impl_->toolTip) {
        return;
    }
    impl_->toolTip = toolTip;
    impl_->emit(itemPath, itemInterface, "NewToolTip", nullptr);
}

void TrayItem::setMenu(std::vector<TrayMenuRow> rows) {
    impl_->rows = std::move(rows);
    ++impl_->revision;
    impl_->emit(menuPath, menuInterface, "LayoutUpdated",
                g_variant_new("(ui)", impl_->revision, 0));
}

void TrayItem::setRowTitle(std::size_t row, const std::string& title) {
    if (row >= impl_->rows.size() || impl_->rows[row].separator ||
        impl_->rows[row].title == title) {
        return;
    }
    impl_->rows[row].title = title;
    const auto id = static_cast<std::int32_t>(row + 1);
    GVariantBuilder updated;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    g_variant_builder_add(&updated, "(i@a{sv})", id, impl_->itemProperties(id, {"label"}));
    impl_->emit(menuPath, menuInterface, "ItemsPropertiesUpdated",
                g_variant_new("(@a(ia{sv})@a(ias))", g_variant_builder_end(&updated),
                              g_variant_new_array(G_VARIANT_TYPE("(ias)"), nullptr, 0)));
}

std::string TrayItem::busName() const {
    return impl_->busName;
}

bool TrayItem::isRegistered() const {
    return impl_->registered;
}

} // namespace vantrel::platform::tray
