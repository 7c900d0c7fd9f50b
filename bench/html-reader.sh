#!/usr/bin/env bash
# Benchmarks the extractor's HTML reader side by side with lynx and html2text:
# a 100 MB and a 5 MB page joined from the HTML documentation under
# /usr/share/doc, a small page, and hostile nesting and attributes. Prints
# time, MB/s, peak memory and the ratios the goals name, with PASS/FAIL.
#
# Environment:
#   EXTRACTOR=PATH   measure this binary instead of building the release preset
#   BENCH_WORK=DIR   where the inputs are written (default /tmp/vantrel-html-bench)
#   RUNS=N           timed runs per tool on the large inputs (default 3; small ones 20x)
#   BASELINE=PATH    another build of the extractor to measure beside it, as "before"
# Exit status: 0 all goals pass, 1 some goal fails, 2 the run could not be done.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/install-deps lynx html2text time || exit 2

if [ -z "${EXTRACTOR:-}" ]; then
    if [ ! -f build/release/build.ninja ]; then
        cmake --preset release >/dev/null || exit 2
    fi
    cmake --build --preset release -j2 --target vantrel-source-extractor || exit 2
    EXTRACTOR=$repo/build/release/source-extractor/vantrel-source-extractor
fi

exec python3 bench/html_reader.py --extractor "$EXTRACTOR" \
    --work "${BENCH_WORK:-/tmp/vantrel-html-bench}" --runs "${RUNS:-3}" \
    ${BASELINE:+--baseline "$BASELINE"}
