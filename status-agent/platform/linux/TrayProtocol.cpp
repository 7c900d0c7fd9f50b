#include "TrayProtocol.h"

#include <gio/gio.h>

namespace vantrel::platform::tray {

GDBusConnection* openBusConnection(const std::string& address) {
    std::string resolved = address;
    if (resolved.empty()) {
        gchar* session = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (session == nullptr) {
            return nullptr;
        }
        resolved = session;
        g_free(session);
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        resolved.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection != nullptr) {
        g_dbus_connection_set_exit_on_close(connection, FALSE);
    }
    return connection;
}

} // namespace vantrel::platform::tray
