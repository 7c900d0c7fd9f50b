#include "PrivateBus.h"

#include <gio/gio.h>
#include <signal.h>

#include <stdexcept>

namespace vantrel::test {

using Clock = std::chrono::steady_clock;

PrivateBus::PrivateBus() {
    // The configuration starts no services: nothing can be started on this bus by name.
    try {
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon",
                                     "--config-file=" VANTREL_PRIVATE_BUS_CONFIG, "--nofork",
                                     "--nopidfile", "--print-address=1"},
            std::map<std::string, std::string>{}, ChildProcess::Errors::discarded);
    } catch (const std::exception&) {
        return;
    }
    if (daemon_->waitForOutput("\n", std::chrono::seconds(10))) {
        const std::string printed = daemon_->output();
        address_ = printed.substr(0, printed.find('\n'));
    }
}

PrivateBus::~PrivateBus() {
    // Ended in order, so that the daemon removes its socket.
    if (daemon_) {
        ::kill(daemon_->pid(), SIGTERM);
        daemon_->wait(std::chrono::seconds(5));
    }
}

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    // A steady tick, so that a condition that changes without a source firing
    // (another process, another thread) is still noticed.
    const guint tick = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool met = done();
    while (!met && Clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        met = done();
    }
    g_source_remove(tick);
    return met;
}

BusClient::BusClient(const std::string& address) {
    // Never the session bus of whoever runs the tests.
    connection_ =
        address.empty()
            ? nullptr
            : g_dbus_connection_new_for_address_sync(
                  address.c_str(),
                  static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                  nullptr, nullptr, nullptr);
    if (connection_ == nullptr) {
        throw std::runtime_error("cannot connect to the test bus at " + address);
    }
}

BusClient::~BusClient() {
    if (subscription_ != 0) {
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    }
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
}

GVariant* BusClient::callRaw(const std::string& destination, const std::string& path,
                             const std::string& interface, const std::string& method,
                             const std::string& parameters) {
    GVariant* arguments = nullptr;
    if (!parameters.empty()) {
        arguments = g_variant_parse(nullptr, parameters.c_str(), nullptr, nullptr, nullptr);
        if (arguments == nullptr) {
            throw std::runtime_error("bad GVariant text: " + parameters);
        }
    }
    struct Outcome {
        bool done = false;
        GVariant* reply = nullptr;
        GError* error = nullptr;
    } outcome;
    // Asynchronous, so that an item served by this same thread can answer.
    g_dbus_connection_call(
        connection_, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* out = static_cast<Outcome*>(data);
            out->reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &out->error);
            out->done = true;
        },
        &outcome);
    spinUntil([&] { return outcome.done; }, std::chrono::seconds(10));
    if (outcome.error != nullptr) {
        gchar* name = g_dbus_error_get_remote_error(outcome.error);
        const std::string message = name != nullptr ? name : outcome.error->message;
        g_free(name);
        g_error_free(outcome.error);
        throw std::runtime_error(message);
    }
    return outcome.reply;
}

CallResult BusClient::call(const std::string& destination, const std::string& path,
                           const std::string& interface, const std::string& method,
                           const std::string& parameters) {
    CallResult result;
    try {
        GVariant* reply = callRaw(destination, path, interface, method, parameters);
        if (reply == nullptr) {
            result.error = "no reply";
            return result;
        }
        gchar* text = g_variant_print(reply, FALSE);
        result.reply = text;
        result.type = g_variant_get_type_string(reply);
        g_free(text);
        g_variant_unref(reply);
    } catch (const std::runtime_error& error) {
        result.error = error.what();
    }
    return result;
}

void BusClient::recordSignalsFrom(const std::string& busName) {
    GVariant* owner = callRaw("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "GetNameOwner", "('" + busName + "',)");
    const gchar* unique = nullptr;
    g_variant_get(owner, "(&s)", &unique);
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_, unique, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar* path, const gchar* interface,
           const gchar* member, GVariant* parameters, gpointer data) {
            gchar* text = g_variant_print(parameters, FALSE);
            static_cast<std::vector<RecordedSignal>*>(data)->push_back(
                {path, interface, member, text});
            g_free(text);
        },
        &signals_, nullptr);
    g_variant_unref(owner);
}

} // namespace vantrel::test
