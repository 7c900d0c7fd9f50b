// The tray item's icon, drawn from its text: most panels show only the icon,
// so the picture itself has to tell the API's state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::platform::tray {

// Pixmaps as the tray protocol carries them: ARGB32, network byte order.
struct TrayPixmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> argb;
};

// The icon for an item text such as "VT", "VT ●" or "VT ○": the letters VT with a
// filled or hollow circle under them, in the square sizes panels ask for.
std::vector<TrayPixmap> renderTrayIcon(const std::string& text);

} // namespace vantrel::platform::tray
