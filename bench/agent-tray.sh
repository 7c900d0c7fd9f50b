#!/usr/bin/env bash
# What the tray costs the status agent, and how soon a panel hears of a change.
# Not a test: it prints numbers for a person to read.
#
# 1. Builds the release preset (or the folder in VANTREL_BENCH_BUILD_DIR).
# 2. Idle, side by side in one run: two agents for VANTREL_BENCH_SECONDS (60)
#    against one health server on the agent's port 18777, one without a session
#    bus (no tray item) and one on a private dbus-daemon with vantrel-tray-view
#    playing the panel. Reads /proc for each: CPU time, wake-ups (context
#    switches of all threads), resident memory, descriptors, threads; prints
#    the ratio tray / no tray.
# 3. tray-latency-bench: the agent on a private bus with this machine's clock
#    at both ends; 100 state changes, each timed from the probe's answer
#    leaving the server to the host holding the new state line and text.
#
# Goals: with the tray on, under 0.05% of one core while idle, at most 3
# threads besides the main one, resident memory under 12 MiB; a state change
# reaches the host in under 50 ms. Exit status 0 when they hold, 1 when not.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

seconds=${VANTREL_BENCH_SECONDS:-60}
bench_build vantrel-status vantrel-tray-view tray-latency-bench
agent="$build/status-agent/vantrel-status"
view="$build/status-agent/tools/vantrel-tray-view"
latency_bench="$build/bench/tray-latency-bench"

bench_scratch
bench_need_free_port agent-tray

# A bus that starts no services, gone with this script: the tests' own.
dbus-daemon --config-file=tests/support/private-bus.conf --nofork --nopidfile \
    --print-address=1 >"$work/bus.address" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/bus.address" ] && break; sleep 0.1; done
bus=$(head -n1 "$work/bus.address")

python3 bench/health-server.py --port 18777 >/dev/null &
pids+=($!)
server_pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/18777) 2>/dev/null && break; sleep 0.1; done

# Each agent has a data folder (and so a lock) of its own.
start_agent() { # name bus-address
    mkdir -p "$work/$1"
    DBUS_SESSION_BUS_ADDRESS="$2" XDG_DATA_HOME="$work/$1" HOME="$work/$1" \
        "$agent" </dev/null >/dev/null 2>&1 &
    pids+=($!)
    eval "${1}_pid=$!"
}
start_agent plain "unix:path=$work/no-bus-here"
DBUS_SESSION_BUS_ADDRESS="$bus" "$view" >"$work/view.log" 2>&1 &
pids+=($!)
view_pid=$!
start_agent tray "$bus"
for _ in $(seq 50); do grep -q 'Local API: Running' "$work/view.log" && break; sleep 0.1; done
if ! grep -q 'Local API: Running' "$work/view.log"; then
    echo "agent-tray: the panel never showed the agent's item" >&2
    cat "$work/view.log" >&2
    exit 1
fi
sleep 1

for a in plain tray; do
    pid_var="${a}_pid"
    pid=${!pid_var}
    eval "${a}_rss0=$(field "$pid" VmRSS) ${a}_cpu0=$(cpu_ns "$pid") ${a}_sw0=$(switches "$pid")"
done
view_lines0=$(wc -l <"$work/view.log")
sleep "$seconds"
for a in plain tray; do
    pid_var="${a}_pid"
    pid=${!pid_var}
    eval "${a}_rss1=$(field "$pid" VmRSS) ${a}_cpu1=$(cpu_ns "$pid") ${a}_sw1=$(switches "$pid")"
    eval "${a}_threads=$(field "$pid" Threads) ${a}_fds=$(ls /proc/"$pid"/fd | wc -l)"
    eval "${a}_names='$(cat /proc/"$pid"/task/*/comm | tr '\n' ' ')'"
done
view_lines1=$(wc -l <"$work/view.log")

status=0
awk -v s="$seconds" \
    -v pc0="$plain_cpu0" -v pc1="$plain_cpu1" -v tc0="$tray_cpu0" -v tc1="$tray_cpu1" \
    -v pw0="$plain_sw0" -v pw1="$plain_sw1" -v tw0="$tray_sw0" -v tw1="$tray_sw1" \
    -v pr0="$plain_rss0" -v pr1="$plain_rss1" -v tr0="$tray_rss0" -v tr1="$tray_rss1" \
    -v pt="$plain_threads" -v tt="$tray_threads" -v pf="$plain_fds" -v tf="$tray_fds" \
    -v pn="$plain_names" -v tn="$tray_names" -v vl=$((view_lines1 - view_lines0)) 'BEGIN {
    pcpu = (pc1 - pc0) / 1e9; tcpu = (tc1 - tc0) / 1e9
    printf "two idle agents over %d s, side by side (no tray | tray on a private bus)\n", s
    printf "  CPU time      %.4f s = %.4f%%  |  %.4f s = %.4f%% of one core   ratio %.2f  (goal < 0.05%%)\n",
        pcpu, 100 * pcpu / s, tcpu, 100 * tcpu / s, (pcpu > 0 ? tcpu / pcpu : 0)
    printf "  wake-ups      %.2f/s  |  %.2f/s   ratio %.2f\n", (pw1 - pw0) / s, (tw1 - tw0) / s,
        ((pw1 - pw0) > 0 ? (tw1 - tw0) / (pw1 - pw0) : 0)
    printf "  resident      %.1f -> %.1f MiB  |  %.1f -> %.1f MiB   ratio %.2f  (goal < 12 MiB)\n",
        pr0 / 1024, pr1 / 1024, tr0 / 1024, tr1 / 1024, tr1 / pr1
    printf "  threads       %d: %s |  %d: %s (goal: at most 3 besides main)\n", pt, pn, tt, tn
    printf "  descriptors   %d  |  %d\n", pf, tf
    printf "  lines the panel printed while idle: %d (nothing changed, so nothing is sent)\n", vl
    cpuFail = 100 * tcpu / s >= 0.05; threadFail = tt - 1 > 3; rssFail = tr1 >= 12 * 1024
    printf "  goals with the tray on: CPU %s, threads %s, resident %s\n", cpuFail ? "FAIL" : "PASS",
        threadFail ? "FAIL" : "PASS", rssFail ? "FAIL" : "PASS"
    exit cpuFail || threadFail || rssFail
}' || status=1

# The latency bench answers on the agent's port itself.
kill "$plain_pid" "$tray_pid" "$view_pid" "$server_pid" 2>/dev/null || true
wait "$plain_pid" "$tray_pid" "$view_pid" "$server_pid" 2>/dev/null || true
"$latency_bench" "$agent" 100 || status=1
exit "$status"
