#include "TrayStatusItem.h"

#include <utility>
#include <vector>

namespace vantrel::platform::tray {
namespace {

class TrayMenu;

class TrayMenuLine final : public MenuItem {
  public:
    TrayMenuLine(std::weak_ptr<TrayMenu> menu, std::size_t row)
        : menu_(std::move(menu)), row_(row) {}
    void setTitle(const std::string& title) override;

  private:
    std::weak_ptr<TrayMenu> menu_;
    std::size_t row_;
};

class TrayMenu final : public Menu, public std::enable_shared_from_this<TrayMenu> {
  public:
    std::shared_ptr<MenuItem> addItem(const std::string& title, std::optional<Action> action,
                                      const std::string& keyEquivalent) override {
        lines_.push_back({false, title, action, keyEquivalent});
        auto item = std::make_shared<TrayMenuLine>(weak_from_this(), lines_.size() - 1);
        publish();
        return item;
    }

    void addSeparator() override {
        lines_.push_back({true, {}, std::nullopt, {}});
        publish();
    }

    void setTitle(std::size_t row, const std::string& title) {
        lines_[row].title = title;
        if (auto tray = tray_.lock()) {
            tray->setRowTitle(row, title);
        }
    }

    // The tray shows this menu from now on; the item keeps the tray alive, not the menu.
    void attach(const std::shared_ptr<TrayItem>& tray, std::function<void(Action)> perform) {
        tray_ = tray;
        perform_ = std::move(perform);
        publish();
    }

    void detach() { tray_.reset(); }

  private:
    struct Line {
        bool separator;
        std::string title;
        std::optional<Action> action;
        std::string keyEquivalent;
    };

    void publish() {
        auto tray = tray_.lock();
        if (!tray) {
            return;
        }
        std::vector<TrayMenuRow> rows;
        for (const auto& line : lines_) {
            TrayMenuRow row;
            row.separator = line.separator;
            row.title = line.title;
            // A line without an action is an inert, disabled line.
            row.enabled = line.action.has_value();
            row.keyEquivalent = line.keyEquivalent;
            if (line.action) {
                row.activate = [perform = perform_, action = *line.action] { perform(action); };
            }
            rows.push_back(std::move(row));
        }
        tray->setMenu(std::move(rows));
    }

    std::vector<Line> lines_;
    std::weak_ptr<TrayItem> tray_;
    std::function<void(Action)> perform_;
};

void TrayMenuLine::setTitle(const std::string& title) {
    if (auto menu = menu_.lock()) {
        menu->setTitle(row_, title);
    }
}

class TrayStatusItem final : public StatusItem, public StatusButton {
  public:
    TrayStatusItem(std::shared_ptr<TrayItem> tray, std::function<void(Action)> perform)
        : tray_(std::move(tray)), perform_(std::move(perform)) {}

    StatusButton* button() override { return this; }

    void setMenu(std::shared_ptr<Menu> menu) override {
        if (auto* previous = dynamic_cast<TrayMenu*>(menu_.get())) {
            previous->detach();
        }
        menu_ = std::move(menu);
        if (auto* trayMenu = dynamic_cast<TrayMenu*>(menu_.get())) {
            trayMenu->attach(tray_, perform_);
        } else {
            // Only menus made by createTrayMenu() can be shown.
            tray_->setMenu({});
        }
    }

    void setTitle(const std::string& title) override { tray_->setText(title); }
    void setToolTip(const std::string& toolTip) override { tray_->setToolTip(toolTip); }

  private:
    std::shared_ptr<TrayItem> tray_;
    std::function<void(Action)> perform_;
    std::shared_ptr<Menu> menu_;
};

} // namespace

std::shared_ptr<StatusItem> createTrayStatusItem(std::function<void(Action)> perform,
                                                 const TrayItemOptions& options) {
    std::shared_ptr<TrayItem> tray = TrayItem::connect(options);
    if (!tray) {
        return nullptr;
    }
    return std::make_shared<TrayStatusItem>(std::move(tray), std::move(perform));
}

std::shared_ptr<Menu> createTrayMenu() {
    return std::make_shared<TrayMenu>();
}

} // namespace vantrel::platform::tray
