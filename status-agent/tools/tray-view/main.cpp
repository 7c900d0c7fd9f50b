// vantrel-tray-view: a window onto a tray item for people, scripts and tests.
// It plays the tray host on the session bus, prints the item's text and menu
// whenever they change, and can click a menu row by its title.
#include "TrayHost.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace {

using vantrel::trayview::ItemState;
using vantrel::trayview::MenuRow;

constexpr const char* usage =
    "usage: vantrel-tray-view [--item NAME] [--click TITLE]... [--until TEXT] [--until-gone]\n"
    "                         [--timeout SECONDS] [--quiet]\n"
    "\n"
    "Plays the tray host on the session bus and prints, with the time, the tray item's\n"
    "text and menu rows whenever they change.\n"
    "  --item NAME      follow the item on this bus name (default: the first to turn up)\n"
    "  --click TITLE    click the menu row with this title once it is there (repeatable)\n"
    "  --until TEXT     exit 0 once the item's text or a row's title is TEXT\n"
    "  --until-gone     exit 0 once the item has left the bus\n"
    "  --timeout S      give up after S seconds: exit 1 if a condition is still open\n"
    "                   (default 30 with --click or --until, none otherwise)\n"
    "  --quiet          print nothing but errors\n";

struct Options {
    std::string item;
    std::deque<std::string> clicks;
    std::string until;
    bool untilGone = false;
    double timeout = -1;
    bool quiet = false;
    bool clicksGiven = false;
};

struct Run {
    Options options;
    GMainLoop* loop = nullptr;
    int status = 0;
    bool clickInFlight = false;
    // What was last printed, so that a reread that changes nothing prints nothing.
    std::optional<std::string> shownText;
    std::optional<std::string> shownToolTip;
    vantrel::trayview::TrayHost* host = nullptr;

    bool conditionsOpen() const {
        return !options.clicks.empty() || clickInFlight || !options.until.empty() ||
               options.untilGone;
    }
    void finish(int exitStatus) {
        status = exitStatus;
        g_main_loop_quit(loop);
    }
};

void say(const Run& run, const std::string& line) {
    if (run.options.quiet) {
        return;
    }
    GDateTime* now = g_date_time_new_now_local();
    gchar* clock = g_date_time_format(now, "%H:%M:%S");
    std::printf("%s.%03d %s\n", clock, g_date_time_get_microsecond(now) / 1000, line.c_str());
    std::fflush(stdout);
    g_free(clock);
    g_date_time_unref(now);
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string describe(const MenuRow& row) {
    std::string line = "menu " + std::to_string(row.id) + " ";
    if (row.separator) {
        return line + "----";
    }
    line += quoted(row.title);
    if (!row.enabled) {
        line += " disabled";
    }
    if (!row.visible) {
        line += " hidden";
    }
    if (!row.shortcut.empty()) {
        std::string keys;
        for (const auto& press : row.shortcut) {
            std::string chord;
            for (const auto& key : press) {
                chord += (chord.empty() ? "" : "+") + key;
            }
            keys += (keys.empty() ? "" : ", ") + chord;
        }
        line += " (" + keys + ")";
    }
    return line;
}

bool sameShape(const std::vector<MenuRow>& a, const std::vector<MenuRow>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].separator != b[i].separator) {
            return false;
        }
    }
    return true;
}

void printChanges(Run& run, const ItemState& before, const ItemState& after) {
    if ((after.propertiesRead || after.text != before.text) && run.shownText != after.text) {
        say(run, "text " + quoted(after.text));
        run.shownText = after.text;
    }
    if (after.propertiesRead && run.shownToolTip != after.toolTipTitle) {
        say(run, "tooltip " + quoted(after.toolTipTitle));
        run.shownToolTip = after.toolTipTitle;
    }
    if (!after.menuRead) {
        return;
    }
    if (!before.menuRead || !sameShape(before.rows, after.rows)) {
        if (after.rows.empty()) {
            say(run, "menu empty");
        }
        for (const auto& row : after.rows) {
            say(run, describe(row));
        }
        return;
    }
    for (std::size_t i = 0; i < after.rows.size(); ++i) {
        if (!(after.rows[i] == before.rows[i])) {
            say(run, describe(after.rows[i]));
        }
    }
}

bool untilMet(const Run& run, const ItemState& state) {
    const std::string& wanted = run.options.until;
    return state.text == wanted || state.row(wanted) != nullptr;
}

// Clicks go out one after the other, each once its row is there and enabled;
// the conditions are looked at only after the last click has been answered.
void advance(Run& run) {
    const ItemState* state = run.host->item();
    if (run.clickInFlight) {
        return;
    }
    if (!run.options.clicks.empty()) {
        if (state == nullptr) {
            return;
        }
        const MenuRow* row = state->row(run.options.clicks.front());
        if (row == nullptr || !row->enabled) {
            return;
        }
        const std::string title = run.options.clicks.front();
        run.options.clicks.pop_front();
        run.clickInFlight = true;
        say(run, "click " + quoted(title));
        run.host->click(title, [&run, title](const std::string& error) {
            run.clickInFlight = false;
            if (!error.empty()) {
                std::fprintf(stderr, "vantrel-tray-view: clicking %s failed: %s\n",
                             quoted(title).c_str(), error.c_str());
                run.finish(1);
                return;
            }
            advance(run);
        });
        return;
    }
    if (!run.options.until.empty()) {
        if (state != nullptr && untilMet(run, *state)) {
            run.finish(0);
        }
        return;
    }
    if (run.options.untilGone) {
        return; // decided when the item leaves
    }
    if (run.options.clicksGiven) {
        // Only clicks were asked for, and they are done.
        run.finish(0);
    }
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (arg == "--item" && hasValue) {
            options.item = argv[++i];
        } else if (arg == "--click" && hasValue) {
            options.clicks.emplace_back(argv[++i]);
            options.clicksGiven = true;
        } else if (arg == "--until" && hasValue) {
            options.until = argv[++i];
        } else if (arg == "--until-gone") {
            options.untilGone = true;
        } else if (arg == "--timeout" && hasValue) {
            char* end = nullptr;
            options.timeout = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(options.timeout > 0) ||
                options.timeout > 86400) {
                std::fprintf(stderr, "vantrel-tray-view: --timeout wants seconds, not %s\n",
                             argv[i]);
                return false;
            }
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            std::fprintf(stderr, "vantrel-tray-view: unexpected argument %s\n%s", argv[i], usage);
            return false;
        }
    }
    if (options.timeout < 0 && (options.clicksGiven || !options.until.empty())) {
        options.timeout = 30;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Run run;
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (!parse(argc, argv, run.options)) {
        return 2;
    }

    vantrel::trayview::TrayHost::Listener listener;
    listener.ready = [&run](bool ownsWatcher) {
        say(run, ownsWatcher ? "watcher: this tool is the tray host"
                             : "watcher: held by the desktop, reading items directly");
    };
    listener.appeared = [&run](const std::string& busName) {
        run.shownText.reset();
        run.shownToolTip.reset();
        say(run, "item " + busName);
    };
    listener.changed = [&run](const ItemState& before, const ItemState& after) {
        printChanges(run, before, after);
        advance(run);
    };
    listener.gone = [&run](const std::string& busName) {
        say(run, "item " + busName + " gone");
        if (run.options.untilGone && run.options.clicks.empty()) {
            run.finish(0);
        }
    };

    vantrel::trayview::HostOptions hostOptions;
    hostOptions.item = run.options.item;
    auto host = vantrel::trayview::TrayHost::connect(hostOptions, listener);
    if (!host) {
        std::fprintf(stderr, "vantrel-tray-view: cannot reach the session bus\n");
        return 1;
    }
    run.host = host.get();
    run.loop = g_main_loop_new(nullptr, FALSE);

    const auto stop = [](gpointer data) -> gboolean {
        auto* self = static_cast<Run*>(data);
        self->finish(self->conditionsOpen() ? 1 : 0);
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGINT, stop, &run);
    g_unix_signal_add(SIGTERM, stop, &run);
    if (run.options.timeout > 0) {
        g_timeout_add(
            static_cast<guint>(run.options.timeout * 1000),
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Run*>(data);
                if (self->conditionsOpen()) {
                    std::fprintf(stderr, "vantrel-tray-view: timed out\n");
                    self->finish(1);
                } else {
                    self->finish(0);
                }
                return G_SOURCE_REMOVE;
            },
            &run);
    }

    g_main_loop_run(run.loop);
    host.reset();
    g_main_loop_unref(run.loop);
    return run.status;
}
