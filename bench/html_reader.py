#!/usr/bin/env python3
"""Times the extractor's HTML reader side by side with lynx and html2text on
pages built from the HTML documentation under /usr/share/doc and on hostile
inputs, in one run, and checks the HTML reader's goals.

Pages: the bodies of every HTML file under /usr/share/doc that is UTF-8,
joined in one document and repeated up to the size asked (100 MB and 5 MB),
and the smallest such file of at least 4 kB alone. Hostile inputs: deep
nesting of div, span, formatting elements with attributes and SVG g, and
one tag with 40,000 attributes. All are written to WORKDIR (not committed).

Usage: html_reader.py --extractor PATH --work DIR [--runs N] [--baseline PATH]
(--baseline: another build of the extractor, measured as "before")
Exit status: 0 when every goal passes, 1 when one fails, 2 when the run
itself cannot be done.
"""

import argparse
import statistics
import sys
from pathlib import Path

import measure

HEAD = b'<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Joined pages</title></head><body>\n'
TAIL = b"</body></html>\n"
PEERS = ["lynx", "html2text"]
# Deep nesting makes the peers slow; past this a peer's run counts as "-".
PEER_TIMEOUT = 30


def doc_pages():
    pages = []
    for path in sorted(Path("/usr/share/doc").rglob("*.htm*")):
        try:
            data = path.read_bytes()
            data.decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        low = data.lower()
        start, end = low.find(b"<body"), low.rfind(b"</body")
        if start >= 0 and end > start:
            data = data[data.index(b">", start) + 1:end]
        pages.append((path, data))
    return pages


def joined(bodies, size):
    out, total, k = [HEAD], len(HEAD), 0
    while total < size:
        body = bodies[k % len(bodies)]
        out.append(body)
        total += len(body)
        k += 1
    data = b"".join(out)
    # Cut at a tag near the size asked: one documentation page alone is megabytes.
    cut = data.find(b"<", size)
    return data[:cut if cut > 0 else len(data)] + TAIL


def hostile():
    attributes = b" ".join(b'a%d="v%d"' % (k, k) for k in range(40000))
    tags = [b"b", b"i", b"em", b"strong", b"font", b"a", b"u"]
    formatting = b"".join(b'<%s class="c%d" id="f%d">' % (tags[k % 7], k, k) for k in range(40000))
    return {
        "h-divs-1m.html": b"<div>" * 1_000_000 + b"deep text",
        "h-spans-400k.html": b"<span>" * 400_000 + b"deep text",
        "h-formatting-40k.html": formatting + b"deep text<p>after",
        "h-attributes-40k.html": b"<p " + attributes + b">text after</p>",
        "h-svg-g-1m.html": b"<svg>" + b"<g>" * 1_000_000 + b"<text>deep text</text>",
    }


def build_inputs(work):
    pages = doc_pages()
    if not pages:
        sys.exit("html_reader: no UTF-8 HTML pages under /usr/share/doc")
    bodies = [body for _, body in pages]
    small = min((p for p in pages if p[0].stat().st_size >= 4000), key=lambda p: p[0].stat().st_size)
    inputs = {"page-100mb.html": joined(bodies, 100_000_000),
              "page-5mb.html": joined(bodies, 5_000_000),
              "page-small.html": small[0].read_bytes()}
    inputs.update(hostile())
    work.mkdir(parents=True, exist_ok=True)
    for name, data in inputs.items():
        (work / name).write_bytes(data)
    return {name: len(data) for name, data in inputs.items()}, len(pages), small[0]


def measure_input(bench, path, runs, tools):
    row = {}
    for tool in tools:
        measure.TIMEOUT = 600 if tool in ("ours", "before") else PEER_TIMEOUT
        if tool in PEERS and path.stat().st_size > 20_000_000:
            runs = 1  # the peers take minutes on the 100 MB page
        argv = bench.command(tool, str(path))
        code, out, rss = bench.captured_run(argv, with_rss=True)
        times = []
        if code != "timeout":
            for _ in range(runs):
                t = bench.timed_run(argv)
                if t is None:
                    break
                times.append(t)
        row[tool] = {"exit": code, "rss_kib": rss, "out_bytes": len(out),
                     "median": statistics.median(times) if times else None,
                     "best": min(times) if times else None}
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--extractor", required=True)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--baseline")
    args = parser.parse_args()
    tools = ["ours"] + (["before"] if args.baseline else []) + PEERS
    measure.PEERS["before"] = lambda f: [args.baseline, "--extract", f]
    sizes, page_count, small = build_inputs(args.work)
    print(f"pages joined from {page_count} UTF-8 HTML files under /usr/share/doc; small page: {small}")
    bench = measure.Bench(args.extractor, args.work, args.work)
    rows, results = [], {}
    for name, size in sizes.items():
        runs = args.runs * (20 if size < 100_000 else 1)
        r = results[name] = measure_input(bench, args.work / name, runs, tools)
        for tool, m in r.items():
            t = m["median"]
            rss = m["rss_kib"] * 1024 if m["rss_kib"] else None
            rows.append([name, measure.fmt_size(size), tool, str(m["exit"]), measure.fmt_time(t),
                         measure.fmt_time(m["best"]),
                         f"{size / 1e6 / t:.1f}" if t else "-",
                         f"{rss / 1e6:.1f}" if rss else "-", f"{rss / size:.2f}" if rss else "-",
                         f"{t / r['ours']['median']:.2f}x" if t and r["ours"]["median"] else "-"])
    out = []
    measure.print_table(rows, ["input", "size", "tool", "exit", "median", "best", "MB/s", "peak MB",
                               "peak/size", "time/ours"], out)
    print("\n".join(out))
    goals = goal_checks(sizes, results)
    for text, shown, ok in goals:
        print(f"{measure.verdict(ok)}  {text}: {shown}")
    return 0 if all(ok for _, _, ok in goals) else 1


def goal_checks(sizes, results):
    def ours(name):
        m = results[name]["ours"]
        return m["median"] if m["exit"] == 0 else None

    goals = []
    big = ours("page-100mb.html")
    mbps = sizes["page-100mb.html"] / 1e6 / big if big else None
    goals.append(("100 MB page at least 120 MB/s", f"{mbps:.1f} MB/s" if mbps else "-",
                  bool(mbps and mbps >= 120)))
    rss = results["page-100mb.html"]["ours"]["rss_kib"]
    peak = rss * 1024 / sizes["page-100mb.html"] if rss else None
    goals.append(("100 MB page peak memory at most 1.5x its size", f"{peak:.2f}x" if peak else "-",
                  bool(peak and peak <= 1.5)))
    lynx, mid = results["page-5mb.html"]["lynx"]["median"], ours("page-5mb.html")
    speedup = lynx / mid if lynx and mid else None
    goals.append(("5 MB page at least 20x lynx's speed", f"{speedup:.1f}x" if speedup else "-",
                  bool(speedup and speedup >= 20)))
    h2t, small = results["page-small.html"]["html2text"]["median"], ours("page-small.html")
    rel = small / h2t if small and h2t else None
    goals.append(("small page's whole process no slower than html2text",
                  f"{rel:.2f}x its time" if rel else "-", bool(rel and rel <= 1.0)))
    for name in sizes:
        if name.startswith("h-"):
            t = ours(name)
            goals.append((f"{name} well under a second", measure.fmt_time(t), bool(t and t < 0.5)))
    return goals


if __name__ == "__main__":
    sys.exit(main())
