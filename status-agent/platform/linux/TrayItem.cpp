// The tray item on the session bus. Hosts (Plasma, GNOME's AppIndicator
// extension, Waybar, swaybar, Xfce...) find it through the
// org.kde.StatusNotifierWatcher, read its properties and menu, and listen for
// the New* and dbusmenu signals; nothing here waits for a host.
#include "TrayItem.h"
#include "TrayIcon.h"
#include "TrayIntrospection.h"
#include "TrayMenuExport.h"
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

// Each item of the process gets its own name suffix.
std::atomic<int> itemCounter{0};

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
    std::unique_ptr<TrayMenuExport> menu;

    ~Impl();

    GVariant* itemProperty(const gchar* name) const;
    void emit(const char* signal, GVariant* parameters);
    void tryRegister();

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                             const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer data);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                   const gchar* interface, const gchar* name, GError** error,
                                   gpointer data);
};

TrayItem::Impl::~Impl() {
    // First, so that no click runs any more.
    menu.reset();
    if (cancellable != nullptr) {
        g_cancellable_cancel(cancellable);
        g_object_unref(cancellable);
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

void TrayItem::Impl::emit(const char* signal, GVariant* parameters) {
    // Fails only once the bus has gone; there is nobody left to tell.
    g_dbus_connection_emit_signal(connection, nullptr, itemPath, itemInterface, signal, parameters,
                                  nullptr);
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
        self->menu->handleCall(method, parameters, invocation);
        return;
    }
    // Secondary clicks, scrolling and activation tokens have no meaning here.
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* TrayItem::Impl::onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                        const gchar* interface, const gchar* name, GError**,
                                        gpointer data) {
    const auto* self = static_cast<const Impl*>(data);
    if (std::string_view(interface) == itemInterface) {
        return self->itemProperty(name);
    }
    return TrayMenuExport::property(name);
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

    impl->menu = std::make_unique<TrayMenuExport>(connection, impl->context);
    impl->nodeInfo = g_dbus_node_info_new_for_xml(trayIntrospection, nullptr);
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
    impl_->emit("XAyatanaNewLabel",
                g_variant_new("(ss)", text.c_str(), impl_->options.labelGuide.c_str()));
    impl_->emit("NewIcon", nullptr);
}

void TrayItem::setToolTip(const std::string& toolTip) {
    if (toolTip == impl_->toolTip) {
        return;
    }
    impl_->toolTip = toolTip;
    impl_->emit("NewToolTip", nullptr);
}

void TrayItem::setMenu(std::vector<TrayMenuRow> rows) {
    impl_->menu->setRows(std::move(rows));
}

void TrayItem::setRowTitle(std::size_t row, const std::string& title) {
    impl_->menu->setRowTitle(row, title);
}

std::string TrayItem::busName() const {
    return impl_->busName;
}

bool TrayItem::isRegistered() const {
    return impl_->registered;
}

} // namespace vantrel::platform::tray
