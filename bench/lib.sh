# What the agent's benchmark scripts share. Sourced from the repository's top
# folder, not run.

# Builds the given targets with the release preset, or in the folder named by
# VANTREL_BENCH_BUILD_DIR, and sets $build to the build folder.
bench_build() {
    build=${VANTREL_BENCH_BUILD_DIR:-}
    if [ -z "$build" ]; then
        cmake --preset release >/dev/null
        build=build/release
    else
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_WERROR=ON >/dev/null
    fi
    cmake --build "$build" -j 2 --target "$@" >/dev/null
}

# A scratch folder $work; at exit it is removed and every process in $pids ended.
bench_scratch() {
    work=$(mktemp -d)
    pids=()
    trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
          wait 2>/dev/null || true
          rm -rf "$work"' EXIT
}

# Stops the script (named $1) when something already answers on the agent's port.
bench_need_free_port() {
    if (exec 3<>/dev/tcp/127.0.0.1/18777) 2>/dev/null; then
        echo "$1: port 18777 is already in use; stop whatever serves it first" >&2
        exit 1
    fi
}

# A process's CPU time in nanoseconds and its context switches, summed over
# its threads, and one field of /proc/PID/status.
cpu_ns() { awk '{ sum += $1 } END { print sum }' /proc/"$1"/task/*/schedstat; }
switches() {
    cat /proc/"$1"/task/*/status |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { sum += $2 } END { print sum }'
}
field() { awk -v key="$2:" '$1 == key { print $2 }' /proc/"$1"/status; }
