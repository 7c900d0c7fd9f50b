// The tray item's menu as com.canonical.dbusmenu exports it: the rows, their
// properties and layout, one handler per method of the protocol, and clicks
// run from the main loop once the host's call has been answered.
#pragma once

#include "TrayItem.h"

#include <gio/gio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::platform::tray {

inline constexpr const char* menuPath = "/MenuBar";

class TrayMenuExport {
  public:
    // Neither is owned; both outlive the export. Clicks run on `context`.
    TrayMenuExport(GDBusConnection* connection, GMainContext* context);
    ~TrayMenuExport();
    TrayMenuExport(const TrayMenuExport&) = delete;
    TrayMenuExport& operator=(const TrayMenuExport&) = delete;

    // Each announces the change to hosts.
    void setRows(std::vector<TrayMenuRow> rows);
    void setRowTitle(std::size_t row, const std::string& title);

    void handleCall(std::string_view method, GVariant* parameters,
                    GDBusMethodInvocation* invocation);
    // The menu object's own properties (Version, TextDirection, ...).
    static GVariant* property(std::string_view name);

  private:
    bool knownId(std::int32_t id) const;
    // False, with the error sent as the answer, when the id names no item.
    bool answerUnknownId(std::int32_t id, GDBusMethodInvocation* invocation) const;
    GVariant* itemProperties(std::int32_t id, const std::vector<std::string>& filter) const;
    GVariant* layoutNode(std::int32_t id, std::int32_t depth,
                         const std::vector<std::string>& filter) const;

    void getLayout(GVariant* parameters, GDBusMethodInvocation* invocation);
    void getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation);
    void getProperty(GVariant* parameters, GDBusMethodInvocation* invocation);
    void event(GVariant* parameters, GDBusMethodInvocation* invocation);
    void eventGroup(GVariant* parameters, GDBusMethodInvocation* invocation);
    void aboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation);
    void aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation);

    void emit(const char* signal, GVariant* parameters);
    void queueClick(std::int32_t id);
    void runClicks();

    GDBusConnection* connection_;
    GMainContext* context_;
    std::vector<TrayMenuRow> rows_;
    std::uint32_t revision_ = 1;
    std::vector<std::int32_t> pendingClicks_;
    GSource* clickSource_ = nullptr;
    // Lets a click handler that destroys the item stop the loop over the rest.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace vantrel::platform::tray
