#include "TrayMenuExport.h"
#include "TrayProtocol.h"

#include <algorithm>
#include <utility>

namespace vantrel::platform::tray {
namespace {

constexpr const char* invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

// Menu labels treat "_" as a mnemonic marker; a doubled one shows as itself.
std::string escapeLabel(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '_') {
            out += '_';
        }
    }
    return out;
}

// The value a menu item takes when the key is absent, for GetProperty.
GVariant* defaultItemProperty(std::string_view name) {
    if (name == "type") {
        return g_variant_new_string("standard");
    }
    if (name == "label" || name == "icon-name" || name == "toggle-type" ||
        name == "children-display") {
        return g_variant_new_string("");
    }
    if (name == "enabled" || name == "visible") {
        return g_variant_new_boolean(TRUE);
    }
    if (name == "disposition") {
        return g_variant_new_string("normal");
    }
    if (name == "toggle-state") {
        return g_variant_new_int32(-1);
    }
    if (name == "shortcut") {
        return g_variant_new_array(G_VARIANT_TYPE("as"), nullptr, 0);
    }
    return nullptr;
}

// Names of the properties a caller asked for; empty means all.
std::vector<std::string> propertyFilter(GVariantIter* names) {
    std::vector<std::string> filter;
    const gchar* name = nullptr;
    while (g_variant_iter_next(names, "&s", &name)) {
        filter.emplace_back(name);
    }
    return filter;
}

std::vector<std::int32_t> intList(GVariantIter* ids) {
    std::vector<std::int32_t> list;
    std::int32_t id = 0;
    while (g_variant_iter_next(ids, "i", &id)) {
        list.push_back(id);
    }
    return list;
}

} // namespace

TrayMenuExport::TrayMenuExport(GDBusConnection* connection, GMainContext* context)
    : connection_(connection), context_(context) {}

TrayMenuExport::~TrayMenuExport() {
    *alive_ = false;
    if (clickSource_ != nullptr) {
        g_source_destroy(clickSource_);
        g_source_unref(clickSource_);
    }
}

void TrayMenuExport::setRows(std::vector<TrayMenuRow> rows) {
    rows_ = std::move(rows);
    ++revision_;
    emit("LayoutUpdated", g_variant_new("(ui)", revision_, 0));
}

void TrayMenuExport::setRowTitle(std::size_t row, const std::string& title) {
    if (row >= rows_.size() || rows_[row].separator || rows_[row].title == title) {
        return;
    }
    rows_[row].title = title;
    const auto id = static_cast<std::int32_t>(row + 1);
    GVariantBuilder updated;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    g_variant_builder_add(&updated, "(i@a{sv})", id, itemProperties(id, {"label"}));
    emit("ItemsPropertiesUpdated",
         g_variant_new("(@a(ia{sv})@a(ias))", g_variant_builder_end(&updated),
                       g_variant_new_array(G_VARIANT_TYPE("(ias)"), nullptr, 0)));
}

void TrayMenuExport::handleCall(std::string_view method, GVariant* parameters,
                                GDBusMethodInvocation* invocation) {
    using Handler = void (TrayMenuExport::*)(GVariant*, GDBusMethodInvocation*);
    static constexpr std::pair<std::string_view, Handler> handlers[] = {
        {"GetLayout", &TrayMenuExport::getLayout},
        {"GetGroupProperties", &TrayMenuExport::getGroupProperties},
        {"GetProperty", &TrayMenuExport::getProperty},
        {"Event", &TrayMenuExport::event},
        {"EventGroup", &TrayMenuExport::eventGroup},
        {"AboutToShow", &TrayMenuExport::aboutToShow},
        {"AboutToShowGroup", &TrayMenuExport::aboutToShowGroup},
    };
    for (const auto& [name, handler] : handlers) {
        if (name == method) {
            (this->*handler)(parameters, invocation);
            return;
        }
    }
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.UnknownMethod", "Unknown method");
}

GVariant* TrayMenuExport::property(std::string_view name) {
    if (name == "Version") {
        return g_variant_new_uint32(3);
    }
    if (name == "TextDirection") {
        return g_variant_new_string("ltr");
    }
    if (name == "Status") {
        return g_variant_new_string("normal");
    }
    return g_variant_new_array(G_VARIANT_TYPE_STRING, nullptr, 0);
}

bool TrayMenuExport::knownId(std::int32_t id) const {
    return id >= 0 && static_cast<std::size_t>(id) <= rows_.size();
}

bool TrayMenuExport::answerUnknownId(std::int32_t id, GDBusMethodInvocation* invocation) const {
    if (knownId(id)) {
        return false;
    }
    g_dbus_method_invocation_return_dbus_error(
        invocation, invalidArgs, ("Unknown menu item id " + std::to_string(id)).c_str());
    return true;
}

GVariant* TrayMenuExport::itemProperties(std::int32_t id,
                                         const std::vector<std::string>& filter) const {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    const auto add = [&](const char* key, GVariant* value) {
        if (filter.empty() || std::find(filter.begin(), filter.end(), key) != filter.end()) {
            g_variant_builder_add(&builder, "{sv}", key, value);
        } else {
            g_variant_unref(g_variant_ref_sink(value));
        }
    };
    // Only values that differ from the defaults travel; a missing key means the default.
    if (id == 0) {
        add("children-display", g_variant_new_string("submenu"));
    } else {
        const auto& row = rows_[static_cast<std::size_t>(id - 1)];
        if (row.separator) {
            add("type", g_variant_new_string("separator"));
        } else {
            add("label", g_variant_new_string(escapeLabel(row.title).c_str()));
            if (!row.enabled) {
                add("enabled", g_variant_new_boolean(FALSE));
            }
            if (!row.keyEquivalent.empty()) {
                const gchar* key[] = {row.keyEquivalent.c_str(), nullptr};
                GVariant* press = g_variant_new_strv(key, 1);
                add("shortcut", g_variant_new_array(G_VARIANT_TYPE("as"), &press, 1));
            }
        }
    }
    return g_variant_builder_end(&builder);
}

GVariant* TrayMenuExport::layoutNode(std::int32_t id, std::int32_t depth,
                                     const std::vector<std::string>& filter) const {
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    // The rows are the root's only children; a negative depth means all levels.
    if (id == 0 && depth != 0) {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            g_variant_builder_add(&children, "v",
                                  layoutNode(static_cast<std::int32_t>(i + 1), 0, filter));
        }
    }
    return g_variant_new("(i@a{sv}@av)", id, itemProperties(id, filter),
                         g_variant_builder_end(&children));
}

void TrayMenuExport::getLayout(GVariant* parameters, GDBusMethodInvocation* invocation) {
    std::int32_t parent = 0;
    std::int32_t depth = 0;
    GVariantIter* names = nullptr;
    g_variant_get(parameters, "(iias)", &parent, &depth, &names);
    const auto filter = propertyFilter(names);
    g_variant_iter_free(names);
    if (answerUnknownId(parent, invocation)) {
        return;
    }
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(u@(ia{sv}av))", revision_, layoutNode(parent, depth, filter)));
}

void TrayMenuExport::getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation) {
    GVariantIter* ids = nullptr;
    GVariantIter* names = nullptr;
    g_variant_get(parameters, "(aias)", &ids, &names);
    const auto filter = propertyFilter(names);
    auto wanted = intList(ids);
    g_variant_iter_free(ids);
    g_variant_iter_free(names);
    if (wanted.empty()) {
        for (std::size_t i = 0; i <= rows_.size(); ++i) {
            wanted.push_back(static_cast<std::int32_t>(i));
        }
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ia{sv})"));
    for (std::int32_t each : wanted) {
        // Ids that no longer exist are left out, as the menu may just have changed.
        if (knownId(each)) {
            g_variant_builder_add(&builder, "(i@a{sv})", each, itemProperties(each, filter));
        }
    }
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&builder)));
}

void TrayMenuExport::getProperty(GVariant* parameters, GDBusMethodInvocation* invocation) {
    std::int32_t id = 0;
    const gchar* property = nullptr;
    g_variant_get(parameters, "(i&s)", &id, &property);
    if (answerUnknownId(id, invocation)) {
        return;
    }
    GVariant* all = g_variant_ref_sink(itemProperties(id, {}));
    GVariant* value = g_variant_lookup_value(all, property, nullptr);
    g_variant_unref(all);
    if (value == nullptr) {
        if (GVariant* fallback = defaultItemProperty(property)) {
            value = g_variant_ref_sink(fallback);
        }
    }
    if (value == nullptr) {
        g_dbus_method_invocation_return_dbus_error(
            invocation, invalidArgs, (std::string("Unknown property ") + property).c_str());
        return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    g_variant_unref(value);
}

void TrayMenuExport::event(GVariant* parameters, GDBusMethodInvocation* invocation) {
    std::int32_t id = 0;
    const gchar* name = nullptr;
    g_variant_get(parameters, "(i&svu)", &id, &name, nullptr, nullptr);
    if (answerUnknownId(id, invocation)) {
        return;
    }
    // Answer first: hosts give up on a call after about a second, and Quit
    // must still be answered before the process ends.
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (std::string_view(name) == "clicked") {
        queueClick(id);
    }
}

void TrayMenuExport::eventGroup(GVariant* parameters, GDBusMethodInvocation* invocation) {
    GVariantIter* events = nullptr;
    g_variant_get(parameters, "(a(isvu))", &events);
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    std::size_t count = 0;
    std::size_t failed = 0;
    std::vector<std::int32_t> clicks;
    std::int32_t id = 0;
    const gchar* name = nullptr;
    while (g_variant_iter_next(events, "(i&svu)", &id, &name, nullptr, nullptr)) {
        ++count;
        if (!knownId(id)) {
            ++failed;
            g_variant_builder_add(&errors, "i", id);
        } else if (std::string_view(name) == "clicked") {
            clicks.push_back(id);
        }
    }
    g_variant_iter_free(events);
    if (count > 0 && failed == count) {
        g_variant_builder_clear(&errors);
        g_dbus_method_invocation_return_dbus_error(invocation, invalidArgs,
                                                   "None of the menu item ids is known");
        return;
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(@ai)", g_variant_builder_end(&errors)));
    for (std::int32_t click : clicks) {
        queueClick(click);
    }
}

void TrayMenuExport::aboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation) {
    std::int32_t id = 0;
    g_variant_get(parameters, "(i)", &id);
    if (answerUnknownId(id, invocation)) {
        return;
    }
    // Every change is pushed with signals, so a host never needs to refetch.
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
}

void TrayMenuExport::aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation) {
    GVariantIter* ids = nullptr;
    g_variant_get(parameters, "(ai)", &ids);
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    for (std::int32_t id : intList(ids)) {
        if (!knownId(id)) {
            g_variant_builder_add(&errors, "i", id);
        }
    }
    g_variant_iter_free(ids);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                  g_variant_builder_end(&errors)));
}

void TrayMenuExport::emit(const char* signal, GVariant* parameters) {
    // Fails only once the bus has gone; there is nobody left to tell.
    g_dbus_connection_emit_signal(connection_, nullptr, menuPath, menuInterface, signal, parameters,
                                  nullptr);
}

void TrayMenuExport::queueClick(std::int32_t id) {
    pendingClicks_.push_back(id);
    if (clickSource_ == nullptr) {
        clickSource_ = g_idle_source_new();
        g_source_set_callback(
            clickSource_,
            [](gpointer data) -> gboolean {
                static_cast<TrayMenuExport*>(data)->runClicks();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(clickSource_, context_);
    }
}

void TrayMenuExport::runClicks() {
    g_source_unref(clickSource_);
    clickSource_ = nullptr;
    const auto ids = std::exchange(pendingClicks_, {});
    const std::weak_ptr<bool> stillAlive = alive_;
    for (std::int32_t id : ids) {
        if (stillAlive.expired() || id <= 0 || static_cast<std::size_t>(id) > rows_.size()) {
            break;
        }
        const auto& row = rows_[static_cast<std::size_t>(id - 1)];
        if (row.separator || !row.enabled || !row.activate) {
            continue;
        }
        // A copy: the action may replace the menu or destroy this item.
        const auto activate = row.activate;
        activate();
    }
}

} // namespace vantrel::platform::tray
