// The agent's item in a Linux tray: a StatusNotifierItem with a
// com.canonical.dbusmenu menu, exported over GDBus on the session bus.
// Plain C++ on the outside; every D-Bus detail stays in the .cpp files.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vantrel::platform::tray {

// One line of the tray menu. Its D-Bus id is its position plus one (0 is the root).
struct TrayMenuRow {
    bool separator = false;
    std::string title;
    // A disabled row is shown greyed out and never activates.
    bool enabled = true;
    // A single key, published as the row's shortcut; empty for none.
    std::string keyEquivalent;
    // Runs on the tray's main loop after the host's call has been answered.
    std::function<void()> activate;
};

struct TrayItemOptions {
    // Empty: the session bus of this login.
    std::string busAddress;
    std::string id = "vantrel";
    std::string title = "Vantrel";
    // The widest text the label will take, so a panel can reserve its width.
    std::string labelGuide = "VT \u25cf";
};

// Lives on the main loop of the thread that connects it; every call must come
// from that thread.
class TrayItem {
  public:
    // Null when no session bus can be reached: then there is no tray item at all.
    static std::unique_ptr<TrayItem> connect(const TrayItemOptions& options = {});
    ~TrayItem();

    TrayItem(const TrayItem&) = delete;
    TrayItem& operator=(const TrayItem&) = delete;

    // The item's text: its label and the picture drawn into its icon.
    void setText(const std::string& text);
    void setToolTip(const std::string& toolTip);
    // Replaces the whole menu.
    void setMenu(std::vector<TrayMenuRow> rows);
    // Changes one row's title; rows are counted from 0.
    void setRowTitle(std::size_t row, const std::string& title);

    // The well-known name the item is exported under, e.g. org.kde.StatusNotifierItem-42-1.
    std::string busName() const;
    // True while a StatusNotifierWatcher has accepted the item.
    bool isRegistered() const;

    struct Impl;

  private:
    explicit TrayItem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace vantrel::platform::tray
