// The status item and menu of the platform layer, shown as a tray item.
#pragma once

#include "TrayItem.h"
#include "platform/Platform.h"

#include <functional>
#include <memory>

namespace vantrel::platform::tray {

// A status item whose button is the tray item's text and tooltip; menu actions
// reach `perform` on the main loop. Null when no session bus can be reached.
std::shared_ptr<StatusItem> createTrayStatusItem(std::function<void(Action)> perform,
                                                 const TrayItemOptions& options = {});

// A menu kept in memory; once attached to a tray status item it shows in the
// tray and follows every later change of its lines.
std::shared_ptr<Menu> createTrayMenu();

} // namespace vantrel::platform::tray
