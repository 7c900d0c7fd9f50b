#include "TrayHost.h"
#include "platform/linux/TrayProtocol.h"

#include <gio/gio.h>

#include <algorithm>
#include <string_view>
#include <utility>

namespace vantrel::trayview {
namespace {

using namespace platform::tray;

constexpr const char* watcherIntrospection = R"xml(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>)xml";

std::string stringOf(GVariant* value) {
    if (value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
        return g_variant_get_string(value, nullptr);
    }
    if (value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)) {
        return g_variant_get_string(value, nullptr);
    }
    return {};
}

std::vector<Pixmap> pixmapsOf(GVariant* value) {
    std::vector<Pixmap> pixmaps;
    if (value == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE("a(iiay)"))) {
        return pixmaps;
    }
    GVariantIter iter;
    g_variant_iter_init(&iter, value);
    gint32 width = 0;
    gint32 height = 0;
    GVariant* bytes = nullptr;
    while (g_variant_iter_next(&iter, "(ii@ay)", &width, &height, &bytes)) {
        gsize size = 0;
        const auto* data =
            static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &size, 1));
        pixmaps.push_back({width, height, std::vector<std::uint8_t>(data, data + size)});
        g_variant_unref(bytes);
    }
    return pixmaps;
}

// Applies one dbusmenu property to a row; a null value restores the default.
void applyRowProperty(MenuRow& row, std::string_view key, GVariant* value) {
    if (key == "type") {
        row.separator = value != nullptr && stringOf(value) == "separator";
    } else if (key == "label") {
        row.label = stringOf(value);
        row.title = displayedLabel(row.label);
    } else if (key == "enabled" || key == "visible") {
        const bool flag = value == nullptr ||
                          !g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) ||
                          g_variant_get_boolean(value);
        (key == "enabled" ? row.enabled : row.visible) = flag;
    } else if (key == "shortcut") {
        row.shortcut.clear();
        if (value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE("aas"))) {
            GVariantIter presses;
            g_variant_iter_init(&presses, value);
            GVariant* press = nullptr;
            while ((press = g_variant_iter_next_value(&presses)) != nullptr) {
                std::vector<std::string> keys;
                gsize count = 0;
                const gchar** strings = g_variant_get_strv(press, &count);
                keys.assign(strings, strings + count);
                g_free(strings);
                row.shortcut.push_back(std::move(keys));
                g_variant_unref(press);
            }
        }
    }
}

void applyRowProperties(MenuRow& row, GVariant* properties) {
    GVariantIter iter;
    g_variant_iter_init(&iter, properties);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        applyRowProperty(row, key, value);
        g_variant_unref(value);
    }
}

} // namespace

std::string displayedLabel(const std::string& label) {
    std::string out;
    for (std::size_t i = 0; i < label.size(); ++i) {
        if (label[i] != '_') {
            out += label[i];
        } else if (i + 1 < label.size() && label[i + 1] == '_') {
            out += '_';
            ++i;
        }
    }
    return out;
}

const MenuRow* ItemState::row(const std::string& wanted) const {
    const auto found = std::find_if(rows.begin(), rows.end(), [&](const MenuRow& each) {
        return !each.separator && each.title == wanted;
    });
    return found == rows.end() ? nullptr : &*found;
}

struct TrayHost::Impl {
    HostOptions options;
    Listener listener;
    GDBusConnection* connection = nullptr;
    GDBusNodeInfo* nodeInfo = nullptr;
    GCancellable* cancellable = nullptr;
    guint watcherObject = 0;
    guint watcherOwnership = 0;
    guint discoverySubscription = 0;
    std::optional<bool> ownsWatcher;

    struct Registration {
        std::string key;
        std::string busName;
        std::string path;
        guint nameWatch = 0;
    };
    std::vector<Registration> registrations;

    // The followed item.
    struct Followed {
        ItemState state;
        std::string owner; // its unique name while it is on the bus
        guint nameWatch = 0;
        guint itemSignals = 0;
        guint menuSignals = 0;
        std::string subscribedMenuPath;
    };
    std::unique_ptr<Followed> followed;
    // Replies that arrive for an item no longer followed are dropped.
    unsigned generation = 0;

    ~Impl();

    void start();
    void becomeWatcher();
    void discover();
    void follow(const std::string& busName, const std::string& path);
    void unfollow();
    void followNext();
    void onItemAppeared(const std::string& owner);
    void onItemVanished();
    void readProperties();
    void readLayout();
    void subscribeMenu();
    void update(const std::function<void(ItemState&)>& change);
    void addRegistration(const std::string& sender, const std::string& service);
    void removeRegistration(const std::string& busName);

    // An asynchronous call whose reply is handled only while the same item is followed.
    // With `always`, the reply is handled even once the item has gone.
    void call(const std::string& path, const char* interface, const char* method,
              GVariant* parameters, const GVariantType* replyType,
              std::function<void(GVariant* reply, GError* error)> handle, bool always = false);

    static void onWatcherCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                              const gchar* method, GVariant* parameters,
                              GDBusMethodInvocation* invocation, gpointer data);
    static GVariant* onWatcherProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                       const gchar* name, GError**, gpointer data);
};

TrayHost::Impl::~Impl() {
    g_cancellable_cancel(cancellable);
    unfollow();
    for (auto& registration : registrations) {
        g_bus_unwatch_name(registration.nameWatch);
    }
    if (discoverySubscription != 0) {
        g_dbus_connection_signal_unsubscribe(connection, discoverySubscription);
    }
    if (watcherOwnership != 0) {
        g_bus_unown_name(watcherOwnership);
    }
    if (watcherObject != 0) {
        g_dbus_connection_unregister_object(connection, watcherObject);
    }
    if (connection != nullptr) {
        // Closing drops the watcher's name at once, as a panel that exits does.
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    if (nodeInfo != nullptr) {
        g_dbus_node_info_unref(nodeInfo);
    }
    g_object_unref(cancellable);
}

void TrayHost::Impl::call(const std::string& path, const char* interface, const char* method,
                          GVariant* parameters, const GVariantType* replyType,
                          std::function<void(GVariant*, GError*)> handle, bool always) {
    struct Pending {
        Impl* impl;
        unsigned generation;
        bool always;
        std::function<void(GVariant*, GError*)> handle;
    };
    auto* pending = new Pending{this, generation, always, std::move(handle)};
    g_dbus_connection_call(
        connection, followed->owner.c_str(), path.c_str(), interface, method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* done = static_cast<Pending*>(data);
            GError* error = nullptr;
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) &&
                (done->always ||
                 (done->generation == done->impl->generation && done->impl->followed))) {
                done->handle(reply, error);
            }
            if (reply != nullptr) {
                g_variant_unref(reply);
            }
            g_clear_error(&error);
            delete done;
        },
        pending);
}

void TrayHost::Impl::update(const std::function<void(ItemState&)>& change) {
    const ItemState before = followed->state;
    change(followed->state);
    if (listener.changed && !(before == followed->state)) {
        listener.changed(before, followed->state);
    }
}

void TrayHost::Impl::start() {
    if (!options.item.empty()) {
        follow(options.item, itemPath);
    }
    // The object goes up before the name, so no caller finds the name without it.
    static const GDBusInterfaceVTable vtable = {
        &Impl::onWatcherCall, &Impl::onWatcherProperty, nullptr, {}};
    nodeInfo = g_dbus_node_info_new_for_xml(watcherIntrospection, nullptr);
    watcherObject = g_dbus_connection_register_object(
        connection, watcherPath, nodeInfo->interfaces[0], &vtable, this, nullptr, nullptr);
    watcherOwnership = g_bus_own_name_on_connection(
        connection, watcherName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
        [](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<Impl*>(data)->becomeWatcher();
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            if (self->ownsWatcher.has_value()) {
                return; // the bus has gone
            }
            // A desktop's own host holds the name: read items directly.
            self->ownsWatcher = false;
            g_dbus_connection_unregister_object(self->connection, self->watcherObject);
            self->watcherObject = 0;
            if (self->listener.ready) {
                self->listener.ready(false);
            }
            if (self->options.item.empty()) {
                self->discover();
            }
        },
        this, nullptr);
}

void TrayHost::Impl::becomeWatcher() {
    ownsWatcher = true;
    g_dbus_connection_emit_signal(connection, nullptr, watcherPath, watcherName,
                                  "StatusNotifierHostRegistered", nullptr, nullptr);
    if (listener.ready) {
        listener.ready(true);
    }
}

void TrayHost::Impl::addRegistration(const std::string& sender, const std::string& service) {
    // An object path names an item on the caller's own connection; anything
    // else is a bus name whose item sits at the usual path.
    Registration registration;
    if (!service.empty() && service.front() == '/') {
        registration.busName = sender;
        registration.path = service;
    } else {
        registration.busName = service;
        registration.path = itemPath;
    }
    registration.key = registration.busName + registration.path;
    const bool known = std::any_of(registrations.begin(), registrations.end(),
                                   [&](const auto& each) { return each.key == registration.key; });
    if (known) {
        return;
    }
    const std::string busName = registration.busName;
    const std::string path = registration.path;
    const std::string key = registration.key;
    registrations.push_back(std::move(registration));
    g_dbus_connection_emit_signal(connection, nullptr, watcherPath, watcherName,
                                  "StatusNotifierItemRegistered", g_variant_new("(s)", key.c_str()),
                                  nullptr);
    // Items leave the list when their name leaves the bus.
    struct Watch {
        Impl* impl;
        std::string busName;
    };
    registrations.back().nameWatch = g_bus_watch_name_on_connection(
        connection, busName.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const gchar*, gpointer data) {
            auto* watch = static_cast<Watch*>(data);
            // A copy: removing the registration ends this watch.
            const std::string name = watch->busName;
            watch->impl->removeRegistration(name);
        },
        new Watch{this, busName}, [](gpointer data) { delete static_cast<Watch*>(data); });
    if (!followed && options.item.empty()) {
        follow(busName, path);
    }
}

void TrayHost::Impl::removeRegistration(const std::string& busName) {
    std::vector<std::string> removed;
    for (auto it = registrations.begin(); it != registrations.end();) {
        if (it->busName == busName) {
            removed.push_back(it->key);
            g_bus_unwatch_name(it->nameWatch);
            it = registrations.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& key : removed) {
        g_dbus_connection_emit_signal(connection, nullptr, watcherPath, watcherName,
                                      "StatusNotifierItemUnregistered",
                                      g_variant_new("(s)", key.c_str()), nullptr);
    }
}

void TrayHost::Impl::onWatcherCall(GDBusConnection*, const gchar* sender, const gchar*,
                                   const gchar*, const gchar* method, GVariant* parameters,
                                   GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (std::string_view(method) == "RegisterStatusNotifierItem") {
        const gchar* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        g_dbus_method_invocation_return_value(invocation, nullptr);
        self->addRegistration(sender, service);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* TrayHost::Impl::onWatcherProperty(GDBusConnection*, const gchar*, const gchar*,
                                            const gchar*, const gchar* name, GError**,
                                            gpointer data) {
    const auto* self = static_cast<const Impl*>(data);
    const std::string_view property(name);
    if (property == "RegisteredStatusNotifierItems") {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE_STRING_ARRAY);
        for (const auto& registration : self->registrations) {
            g_variant_builder_add(&builder, "s", registration.key.c_str());
        }
        return g_variant_builder_end(&builder);
    }
    if (property == "IsStatusNotifierHostRegistered") {
        return g_variant_new_boolean(TRUE);
    }
    return g_variant_new_int32(0);
}

void TrayHost::Impl::discover() {
    if (discoverySubscription == 0) {
        discoverySubscription = g_dbus_connection_signal_subscribe(
            connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
            "/org/freedesktop/DBus", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* parameters, gpointer data) {
                auto* self = static_cast<Impl*>(data);
                const gchar* name = nullptr;
                const gchar* newOwner = nullptr;
                g_variant_get(parameters, "(&s&s&s)", &name, nullptr, &newOwner);
                if (!self->followed && *newOwner != '\0' &&
                    std::string_view(name).starts_with(itemNamePrefix)) {
                    self->follow(name, itemPath);
                }
            },
            this, nullptr);
    }
    g_dbus_connection_call(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "ListNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000, cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            if (reply == nullptr) {
                return; // cancelled, or the bus is gone
            }
            auto* self = static_cast<Impl*>(data);
            GVariantIter* names = nullptr;
            g_variant_get(reply, "(as)", &names);
            const gchar* name = nullptr;
            while (!self->followed && g_variant_iter_next(names, "&s", &name)) {
                if (std::string_view(name).starts_with(itemNamePrefix)) {
                    self->follow(name, itemPath);
                }
            }
            g_variant_iter_free(names);
            g_variant_unref(reply);
        },
        this);
}

void TrayHost::Impl::follow(const std::string& busName, const std::string& path) {
    unfollow();
    followed = std::make_unique<Followed>();
    followed->state.busName = busName;
    followed->state.objectPath = path;
    ++generation;
    followed->nameWatch = g_bus_watch_name_on_connection(
        connection, busName.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
            static_cast<Impl*>(data)->onItemAppeared(owner);
        },
        [](GDBusConnection*, const gchar*, gpointer data) {
            static_cast<Impl*>(data)->onItemVanished();
        },
        this, nullptr);
}

void TrayHost::Impl::unfollow() {
    if (!followed) {
        return;
    }
    ++generation;
    if (followed->itemSignals != 0) {
        g_dbus_connection_signal_unsubscribe(connection, followed->itemSignals);
    }
    if (followed->menuSignals != 0) {
        g_dbus_connection_signal_unsubscribe(connection, followed->menuSignals);
    }
    g_bus_unwatch_name(followed->nameWatch);
    followed.reset();
}

void TrayHost::Impl::followNext() {
    if (!options.item.empty()) {
        return;
    }
    if (ownsWatcher == true) {
        if (!registrations.empty()) {
            follow(registrations.front().busName, registrations.front().path);
        }
    } else if (ownsWatcher == false) {
        discover();
    }
}

void TrayHost::Impl::onItemAppeared(const std::string& owner) {
    followed->owner = owner;
    ++generation;
    // Signals are matched by the owner's unique name, which cannot be taken over.
    followed->itemSignals = g_dbus_connection_signal_subscribe(
        connection, owner.c_str(), itemInterface, nullptr, followed->state.objectPath.c_str(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
           GVariant* parameters, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            if (std::string_view(signal) == "XAyatanaNewLabel" &&
                g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ss)"))) {
                const gchar* label = nullptr;
                const gchar* guide = nullptr;
                g_variant_get(parameters, "(&s&s)", &label, &guide);
                self->update([&](ItemState& state) {
                    state.text = label;
                    state.labelGuide = guide;
                });
            } else {
                // NewIcon, NewToolTip, NewTitle, NewStatus: read everything again, as panels do.
                self->readProperties();
            }
        },
        this, nullptr);
    if (listener.appeared) {
        listener.appeared(followed->state.busName);
    }
    readProperties();
}

void TrayHost::Impl::onItemVanished() {
    if (followed->owner.empty()) {
        // Not there yet. A name given by the user is worth waiting for; one from a
        // registration or the bus's list has already gone again.
        if (options.item.empty()) {
            unfollow();
            followNext();
        }
        return;
    }
    const std::string busName = followed->state.busName;
    const std::string path = followed->state.objectPath;
    unfollow();
    if (listener.gone) {
        listener.gone(busName);
    }
    if (!options.item.empty()) {
        follow(busName, path);
    } else {
        followNext();
    }
}

void TrayHost::Impl::readProperties() {
    call(followed->state.objectPath, "org.freedesktop.DBus.Properties", "GetAll",
         g_variant_new("(s)", itemInterface), G_VARIANT_TYPE("(a{sv})"),
         [this](GVariant* reply, GError*) {
             if (reply == nullptr) {
                 return;
             }
             GVariant* properties = g_variant_get_child_value(reply, 0);
             update([properties](ItemState& state) {
                 const auto lookup = [properties](const char* key) {
                     return g_variant_lookup_value(properties, key, nullptr);
                 };
                 const auto text = [&](const char* key) {
                     GVariant* value = lookup(key);
                     std::string out = stringOf(value);
                     if (value != nullptr) {
                         g_variant_unref(value);
                     }
                     return out;
                 };
                 state.propertiesRead = true;
                 state.id = text("Id");
                 state.category = text("Category");
                 state.title = text("Title");
                 state.status = text("Status");
                 state.text = text("XAyatanaLabel");
                 state.labelGuide = text("XAyatanaLabelGuide");
                 state.iconName = text("IconName");
                 state.menuPath = text("Menu");
                 if (GVariant* icon = lookup("IconPixmap")) {
                     state.icon = pixmapsOf(icon);
                     g_variant_unref(icon);
                 } else {
                     state.icon.clear();
                 }
                 state.itemIsMenu = false;
                 if (GVariant* isMenu = lookup("ItemIsMenu")) {
                     state.itemIsMenu = g_variant_is_of_type(isMenu, G_VARIANT_TYPE_BOOLEAN) &&
                                        g_variant_get_boolean(isMenu);
                     g_variant_unref(isMenu);
                 }
                 state.toolTipTitle.clear();
                 state.toolTipBody.clear();
                 if (GVariant* tip = lookup("ToolTip")) {
                     if (g_variant_is_of_type(tip, G_VARIANT_TYPE("(sa(iiay)ss)"))) {
                         const gchar* title = nullptr;
                         const gchar* body = nullptr;
                         g_variant_get(tip, "(&s@a(iiay)&s&s)", nullptr, nullptr, &title, &body);
                         state.toolTipTitle = title;
                         state.toolTipBody = body;
                     }
                     g_variant_unref(tip);
                 }
             });
             g_variant_unref(properties);
             subscribeMenu();
         });
}

void TrayHost::Impl::subscribeMenu() {
    const std::string& path = followed->state.menuPath;
    if (path.empty() || path == followed->subscribedMenuPath) {
        return;
    }
    if (followed->menuSignals != 0) {
        g_dbus_connection_signal_unsubscribe(connection, followed->menuSignals);
    }
    followed->subscribedMenuPath = path;
    followed->menuSignals = g_dbus_connection_signal_subscribe(
        connection, followed->owner.c_str(), menuInterface, nullptr, path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
           GVariant* parameters, gpointer data) {
            auto* self = static_cast<Impl*>(data);
            const std::string_view name(signal);
            if (name == "LayoutUpdated") {
                self->readLayout();
            } else if (name == "ItemsPropertiesUpdated" &&
                       g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a(ia{sv})a(ias))"))) {
                self->update([parameters](ItemState& state) {
                    GVariant* updated = g_variant_get_child_value(parameters, 0);
                    GVariant* removed = g_variant_get_child_value(parameters, 1);
                    GVariantIter iter;
                    g_variant_iter_init(&iter, updated);
                    gint32 id = 0;
                    GVariant* properties = nullptr;
                    while (g_variant_iter_next(&iter, "(i@a{sv})", &id, &properties)) {
                        for (auto& row : state.rows) {
                            if (row.id == id) {
                                applyRowProperties(row, properties);
                            }
                        }
                        g_variant_unref(properties);
                    }
                    GVariantIter* names = nullptr;
                    g_variant_iter_init(&iter, removed);
                    while (g_variant_iter_next(&iter, "(ias)", &id, &names)) {
                        const gchar* key = nullptr;
                        while (g_variant_iter_next(names, "&s", &key)) {
                            for (auto& row : state.rows) {
                                if (row.id == id) {
                                    applyRowProperty(row, key, nullptr);
                                }
                            }
                        }
                        g_variant_iter_free(names);
                    }
                    g_variant_unref(updated);
                    g_variant_unref(removed);
                });
            }
        },
        this, nullptr);
    readLayout();
}

void TrayHost::Impl::readLayout() {
    call(followed->subscribedMenuPath, menuInterface, "GetLayout",
         g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)),
         G_VARIANT_TYPE("(u(ia{sv}av))"), [this](GVariant* reply, GError*) {
             if (reply == nullptr) {
                 return;
             }
             update([reply](ItemState& state) {
                 GVariant* children = nullptr;
                 g_variant_get(reply, "(u(ia{sv}@av))", &state.menuRevision, nullptr, nullptr,
                               &children);
                 state.menuRead = true;
                 state.rows.clear();
                 GVariantIter iter;
                 g_variant_iter_init(&iter, children);
                 GVariant* child = nullptr;
                 while (g_variant_iter_next(&iter, "v", &child)) {
                     if (g_variant_is_of_type(child, G_VARIANT_TYPE("(ia{sv}av)"))) {
                         MenuRow row;
                         GVariant* properties = nullptr;
                         g_variant_get(child, "(i@a{sv}av)", &row.id, &properties, nullptr);
                         applyRowProperties(row, properties);
                         g_variant_unref(properties);
                         state.rows.push_back(std::move(row));
                     }
                     g_variant_unref(child);
                 }
                 g_variant_unref(children);
             });
         });
}

std::unique_ptr<TrayHost> TrayHost::connect(const HostOptions& options, Listener listener) {
    GDBusConnection* connection = openBusConnection(options.busAddress);
    if (connection == nullptr) {
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->listener = std::move(listener);
    impl->connection = connection;
    impl->cancellable = g_cancellable_new();
    impl->start();
    return std::unique_ptr<TrayHost>(new TrayHost(std::move(impl)));
}

TrayHost::TrayHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TrayHost::~TrayHost() = default;

std::optional<bool> TrayHost::ownsWatcher() const {
    return impl_->ownsWatcher;
}

std::vector<std::string> TrayHost::registeredItems() const {
    std::vector<std::string> keys;
    for (const auto& registration : impl_->registrations) {
        keys.push_back(registration.key);
    }
    return keys;
}

const ItemState* TrayHost::item() const {
    return impl_->followed ? &impl_->followed->state : nullptr;
}

void TrayHost::click(const std::string& title,
                     const std::function<void(const std::string&)>& done) {
    const ItemState* state = item();
    if (state == nullptr || impl_->followed->owner.empty()) {
        done("no tray item is on the bus");
        return;
    }
    const MenuRow* row = state->row(title);
    if (row == nullptr) {
        done("the menu has no row \"" + title + "\"");
        return;
    }
    if (!row->enabled || !row->visible) {
        done("the row \"" + title + "\" is disabled");
        return;
    }
    // Data and time stamp as GTK-based panels send them.
    impl_->call(
        impl_->followed->subscribedMenuPath, menuInterface, "Event",
        g_variant_new("(isvu)", row->id, "clicked", g_variant_new_int32(0), 0u), nullptr,
        [done](GVariant*, GError* error) {
            done(error == nullptr ? std::string() : std::string(error->message));
        },
        true);
}

} // namespace vantrel::trayview
