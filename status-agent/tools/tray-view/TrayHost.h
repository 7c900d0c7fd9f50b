// The host side of a Linux tray, as small as a window onto one item needs:
// it plays the StatusNotifierWatcher (or, when a desktop already holds that
// name, finds items by their bus names), follows one item, keeps what the item
// publishes, and clicks menu rows. vantrel-tray-view and the tests share it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::trayview {

struct MenuRow {
    std::int32_t id = 0;
    bool separator = false;
    // As sent, with mnemonic underscores.
    std::string label;
    // As a panel shows it.
    std::string title;
    bool enabled = true;
    bool visible = true;
    std::vector<std::vector<std::string>> shortcut;

    bool operator==(const MenuRow&) const = default;
};

struct Pixmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> argb;

    bool operator==(const Pixmap&) const = default;
};

// What one item shows, as last read.
struct ItemState {
    std::string busName;
    std::string objectPath;

    bool propertiesRead = false;
    std::string id;
    std::string category;
    std::string title;
    std::string status;
    std::string text; // XAyatanaLabel
    std::string labelGuide;
    std::string iconName;
    std::vector<Pixmap> icon;
    std::string toolTipTitle;
    std::string toolTipBody;
    bool itemIsMenu = false;
    std::string menuPath;

    bool menuRead = false;
    std::uint32_t menuRevision = 0;
    std::vector<MenuRow> rows;

    // The row a panel shows with this title, if any.
    const MenuRow* row(const std::string& title) const;

    bool operator==(const ItemState&) const = default;
};

// Turns a dbusmenu label into the text a panel shows: "__" is one underscore,
// any other underscore only marks the access key.
std::string displayedLabel(const std::string& label);

struct HostOptions {
    // Empty: the session bus of this login.
    std::string busAddress;
    // Follow only this item (a bus name); empty: the first one that turns up.
    std::string item;
};

class TrayHost {
  public:
    struct Listener {
        // The state before and after every change that was read.
        std::function<void(const ItemState& before, const ItemState& after)> changed;
        std::function<void(const std::string& busName)> appeared;
        std::function<void(const std::string& busName)> gone;
        // Once it is known whether this host holds the watcher's name.
        std::function<void(bool ownsWatcher)> ready;
    };

    // Null when the bus cannot be reached. Runs on the thread's default main loop.
    static std::unique_ptr<TrayHost> connect(const HostOptions& options, Listener listener);
    ~TrayHost();

    TrayHost(const TrayHost&) = delete;
    TrayHost& operator=(const TrayHost&) = delete;

    // Unknown until `ready` has been called.
    std::optional<bool> ownsWatcher() const;
    // Registrations this host accepted as the watcher, e.g.
    // "org.kde.StatusNotifierItem-42-1/StatusNotifierItem".
    std::vector<std::string> registeredItems() const;
    // The followed item, or null when there is none.
    const ItemState* item() const;

    // Sends a click to the followed item's row with this title. `done` gets an
    // empty text once the item has answered, else what went wrong.
    void click(const std::string& title, const std::function<void(const std::string& error)>& done);

    struct Impl;

  private:
    explicit TrayHost(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace vantrel::trayview
