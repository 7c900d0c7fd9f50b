#!/usr/bin/env bash
# Benchmarks vantrel-source-extractor side by side with the peer tools, in one
# run: speed, peak memory and text quality, printed as one report with the
# ratios each goal names and PASS/FAIL. Takes about 4 minutes on 2 cores
# (plus one to build the corpus the first time).
#
# Environment:
#   EXTRACTOR=PATH   measure this binary instead of building the release preset
#   BENCH_WORK=DIR   corpus and results folder (default build/bench-corpus)
#   RUNS_LARGE=N     timed runs per tool on large inputs (default 5)
#   RUNS_SMALL=N     timed runs per tool on small inputs (default 100)
#   BENCH_ONLY=REGEX only the inputs whose file names match (e.g. 'p-.*pdf|p-small')
# Exit status: 0 all goals pass, 1 some goal fails, 2 the run could not be done.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work=${BENCH_WORK:-$repo/build/bench-corpus}

# Peers, the corpus makers, fonts for the scripts of the known text, and the
# Debian-packaged manuals the large inputs come from.
scripts/install-deps \
    poppler-utils mupdf-tools unrtf lynx w3m html2text pandoc \
    libreoffice-writer fonts-dejavu-core fonts-noto-core time \
    r-doc-pdf r-doc-html \
    || exit 2

if [ -z "${EXTRACTOR:-}" ]; then
    if [ ! -f build/release/build.ninja ]; then
        cmake --preset release >/dev/null || exit 2
    fi
    # Only the extractor and its PDF module: the tests are not needed to measure.
    cmake --build --preset release -j2 --target vantrel-source-extractor || exit 2
    EXTRACTOR=$repo/build/release/source-extractor/vantrel-source-extractor
fi

python3 bench/make_corpus.py "$work" || exit 2
exec python3 bench/measure.py --extractor "$EXTRACTOR" --corpus "$work" \
    --runs-large "${RUNS_LARGE:-5}" --runs-small "${RUNS_SMALL:-100}"
