// What both ends of a Linux tray share: the names of the StatusNotifierItem and
// dbusmenu protocols, and a D-Bus connection of one's own. Used by the agent's
// tray item, the viewer's tray host and the tests.
#pragma once

#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace vantrel::platform::tray {

inline constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
inline constexpr const char* menuInterface = "com.canonical.dbusmenu";
inline constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
inline constexpr const char* watcherPath = "/StatusNotifierWatcher";
// Where the item of a bus name lives when it was registered by name alone.
inline constexpr const char* itemPath = "/StatusNotifierItem";
// An item's well-known name: this, then the process id and a count.
inline constexpr const char* itemNamePrefix = "org.kde.StatusNotifierItem-";

// A connection to the bus at `address` (empty: this login's session bus) that
// is the caller's own rather than the process's shared one: closing it takes
// the caller's names off the bus at once, and a bus that goes away does not
// end the process. Null when the bus cannot be reached. Unref it when done.
GDBusConnection* openBusConnection(const std::string& address);

} // namespace vantrel::platform::tray
