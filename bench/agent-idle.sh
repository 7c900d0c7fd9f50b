#!/usr/bin/env bash
# What the status agent costs while it idles, and whether its probe path leaks.
# Not a test: it prints numbers for a person to read.
#
# 1. Builds the release preset (or the folder in VANTREL_BENCH_BUILD_DIR).
# 2. Runs an agent for VANTREL_BENCH_SECONDS (60) against a local health
#    server on the agent's port 18777 and reads /proc: CPU time, wake-ups
#    (context switches of all its threads), resident memory, descriptors, threads.
# 3. Runs bench/agent-probe-bench.cpp: one probe's round trip, then 1,000
#    probes back to back through the real HTTP client against the healthy
#    server and 1,000 against a server that accepts and never answers.
#
# Goals: under 0.05% of one core while idle, at most 3 threads besides the
# main one, resident memory under 12 MiB, no growth over the 2,000 probes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

seconds=${VANTREL_BENCH_SECONDS:-60}
bench_build vantrel-status agent-probe-bench
agent="$build/status-agent/vantrel-status"
probe_bench="$build/bench/agent-probe-bench"

bench_scratch
bench_need_free_port agent-idle

# Starts a health server and sets server_port once it listens.
start_server() {
    local fifo="$work/port.$RANDOM"
    mkfifo "$fifo"
    python3 bench/health-server.py "$@" >"$fifo" &
    pids+=($!)
    read -r server_port <"$fifo"
}
start_server --port 18777 --log "$work/requests.log"
start_server --port 0 --silent
silent_port=$server_port

mkdir -p "$work/data/Vantrel/runtime"
chmod 700 "$work/data/Vantrel" "$work/data/Vantrel/runtime"
printf 'running\n' >"$work/data/Vantrel/runtime/desired-state"
chmod 600 "$work/data/Vantrel/runtime/desired-state"

XDG_DATA_HOME="$work/data" "$agent" </dev/null >/dev/null 2>&1 &
agent_pid=$!
pids+=("$agent_pid")
sleep 2 # launch and first probe

rss_start=$(field "$agent_pid" VmRSS)
cpu_start=$(cpu_ns "$agent_pid")
switches_start=$(switches "$agent_pid")
probes_start=$(wc -l <"$work/requests.log")
sleep "$seconds"
cpu_end=$(cpu_ns "$agent_pid")
switches_end=$(switches "$agent_pid")
probes_end=$(wc -l <"$work/requests.log")
rss_end=$(field "$agent_pid" VmRSS)
# Most of the resident set is pages of shared libraries (libcurl's many
# dependencies above all); PSS and the agent's own written pages show what
# it costs by itself.
pss=$(awk '$1 == "Pss:" { print $2 }' /proc/"$agent_pid"/smaps_rollup)
private=$(awk '$1 == "Private_Dirty:" { print $2 }' /proc/"$agent_pid"/smaps_rollup)
threads=$(field "$agent_pid" Threads)
fds=$(ls /proc/"$agent_pid"/fd | wc -l)
names=$(cat /proc/"$agent_pid"/task/*/comm | tr '\n' ' ')

kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?

awk -v s="$seconds" -v c0="$cpu_start" -v c1="$cpu_end" -v w0="$switches_start" \
    -v w1="$switches_end" -v p0="$probes_start" -v p1="$probes_end" -v r0="$rss_start" \
    -v r1="$rss_end" -v pss="$pss" -v priv="$private" -v t="$threads" -v f="$fds" -v n="$names" -v st="$status" 'BEGIN {
    cpu = (c1 - c0) / 1e9
    printf "idle agent over %d s (%d requests served on port 18777, by any agent on this machine)\n", s, p1 - p0
    printf "  CPU time      %.4f s = %.4f%% of one core   (goal < 0.05%%)\n", cpu, 100 * cpu / s
    printf "  wake-ups      %d = %.2f per second\n", w1 - w0, (w1 - w0) / s
    printf "  resident      %.1f MiB at start, %.1f MiB at end   (goal < 12 MiB)\n", r0 / 1024, r1 / 1024
    printf "                of which %.1f MiB proportional share (PSS), %.1f MiB private dirty\n", pss / 1024, priv / 1024
    printf "  threads       %d: %s  (goal: at most 3 besides main)\n", t, n
    printf "  descriptors   %d\n", f
    printf "  exit on SIGTERM: status %d\n", st
}'

# For scale: the curl tool itself, waiting on the silent server (it links the
# same libcurl).
curl -s --max-time 3 "http://127.0.0.1:$silent_port/healthz" >/dev/null &
curl_pid=$!
sleep 1
curl_rss=$(field "$curl_pid" VmRSS)
wait "$curl_pid" || true
awk -v a="$rss_end" -v c="$curl_rss" 'BEGIN {
    printf "  for scale: curl waiting on one GET has %.1f MiB resident; agent/curl = %.2f\n", c / 1024, a / c
}'

echo "probe path through the real HTTP client"
"$probe_bench" "http://127.0.0.1:18777/healthz" "http://127.0.0.1:$silent_port/healthz"
