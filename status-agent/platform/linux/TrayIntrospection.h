// The D-Bus interfaces the tray item exports, as introspection XML: the
// StatusNotifierItem and its com.canonical.dbusmenu menu.
#pragma once

namespace vantrel::platform::tray {

extern const char* const trayIntrospection;

} // namespace vantrel::platform::tray
