#!/usr/bin/env python3
"""Times the extractor and its peer tools on the corpus of make_corpus.py, in
one run, and scores their text against the known text of the quality files.

Wall time: the median of N whole-process runs (spawn to exit, output to
/dev/null), the tools of one input interleaved round by round so that a
noisy neighbour slows all of them alike. Peak RSS: GNU time's %M from a
separate run, because a child spawned straight from Python inherits the
interpreter's resident set in its peak. MB = 10^6 bytes.

Usage: measure.py --extractor PATH --corpus DIR [--runs-large N] [--runs-small N]
Exit status: 0 when every goal passes, 1 when one fails, 2 when the run
itself cannot be done.
"""

import argparse
import json
import os
import random
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import wordscore

GNU_TIME = "/usr/bin/time"
# Peers run as the goals name them, with UTF-8 output and no link lists. unrtf
# --text writes the document's pictures as files into its working directory,
# so every tool runs in a scratch folder.
PEERS = {
    "pdftotext": lambda f: ["pdftotext", "-enc", "UTF-8", f, "-"],
    "mutool": lambda f: ["mutool", "draw", "-q", "-F", "txt", f],
    "unrtf": lambda f: ["unrtf", "--text", f],
    "lynx": lambda f: ["lynx", "-dump", "-nolist", "-display_charset=utf-8", f],
    "w3m": lambda f: ["w3m", "-dump", "-O", "UTF-8", f],
    "html2text": lambda f: ["html2text", "-utf8", "-nobs", f],
    "pandoc-rtf": lambda f: ["pandoc", "-f", "rtf", "-t", "plain", f],
    "pandoc-html": lambda f: ["pandoc", "-f", "html", "-t", "plain", f],
}
# pandoc is a quality peer only: it has no speed goal and would add minutes.
PERF_TOOLS = {"pdf": ["ours", "pdftotext", "mutool"], "rtf": ["ours", "unrtf"],
              "html": ["ours", "lynx", "w3m", "html2text"]}
QUALITY_TOOLS = {"pdf": ["ours", "pdftotext", "mutool"], "rtf": ["ours", "unrtf", "pandoc-rtf"],
                 "html": ["ours", "lynx", "w3m", "html2text", "pandoc-html"]}
TIMEOUT = 300
# The extractor's budget as source-extractor/confinement/ReadBudget.cpp sets it (keep the
# two in step): CPU seconds, and data bytes for a document of `size` bytes.
BUDGET_CPU_SECONDS = 60
def budget_memory(size):
    return (1 << 30) + 64 * size
# Seconds of timed runs allowed per tool and input: a very slow tool gets
# fewer runs (at least one) so that the whole benchmark stays bounded.
BUDGET_PER_TOOL = 90.0


class Bench:
    def __init__(self, extractor, corpus, scratch):
        self.extractor = extractor
        self.corpus = corpus
        self.scratch = scratch
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LC_ALL": "C.UTF-8", "LANG": "C.UTF-8", "TERM": "dumb",
            # lynx and w3m keep settings in HOME; keep them out of the real one.
            "HOME": str(scratch / "home"),
        }
        (scratch / "home").mkdir(parents=True, exist_ok=True)
        self.devnull = os.open(os.devnull, os.O_RDWR)
        self.running = None
        signal.signal(signal.SIGALRM, self._on_timeout)

    def command(self, tool, path):
        argv = [self.extractor, "--extract", path] if tool == "ours" else PEERS[tool](path)
        return [shutil.which(argv[0]) or argv[0]] + argv[1:]

    def _on_timeout(self, *_):
        if self.running:
            os.kill(self.running, signal.SIGKILL)

    def timed_run(self, argv):
        """Wall seconds of one whole process, or None when it overran."""
        actions = [(os.POSIX_SPAWN_DUP2, self.devnull, fd) for fd in (0, 1, 2)]
        signal.setitimer(signal.ITIMER_REAL, TIMEOUT)
        start = time.perf_counter()
        self.running = os.posix_spawn(argv[0], argv, self.env, file_actions=actions)
        _, status = os.waitpid(self.running, 0)
        self.running = None
        elapsed = time.perf_counter() - start
        signal.setitimer(signal.ITIMER_REAL, 0)
        killed = os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
        return None if killed else elapsed

    def captured_run(self, argv, with_rss):
        """Runs once, keeping stdout; returns (exit code, stdout bytes, peak RSS KiB)."""
        rss_file = self.scratch / "rss.txt"
        if with_rss:
            argv = [GNU_TIME, "-f", "%M", "-o", str(rss_file)] + argv
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=self.env, start_new_session=True)
        try:
            out, _ = proc.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            return "timeout", b"", None
        rss = None
        if with_rss:
            # GNU time puts a status line before the value when the command failed.
            lines = rss_file.read_text().split()
            rss = int(lines[-1]) if lines and lines[-1].isdigit() else None
        return proc.returncode, out, rss


def fmt_time(seconds):
    if seconds is None:
        return "-"
    return f"{seconds * 1000:.2f} ms" if seconds < 1 else f"{seconds:.3f} s"


def fmt_size(n):
    return f"{n / 1e6:.2f} MB" if n >= 1e5 else f"{n / 1e3:.1f} kB"


def verdict(ok):
    return "PASS" if ok else "FAIL"


def print_table(rows, header, out):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()
    out.append(line(header))
    out.append("  ".join("-" * w for w in widths))
    out.extend(line(r) for r in rows)


def measure_performance(bench, files, runs_large, runs_small, log):
    results = {}
    for entry in files:
        path = str(bench.corpus / entry["file"])
        tools = PERF_TOOLS[entry["type"]]
        per_input = {}
        for tool in tools:
            argv = bench.command(tool, path)
            code, out, rss = bench.captured_run(argv, with_rss=True)
            probe = bench.timed_run(argv) if code != "timeout" else None
            wanted = runs_large if entry["bytes"] > 1_000_000 else runs_small
            runs = 0 if probe is None else max(1, min(wanted, int(BUDGET_PER_TOOL / max(probe, 1e-6))))
            per_input[tool] = {"exit": code, "out_bytes": len(out), "rss_kib": rss, "runs": runs, "times": []}
            if "ref" in entry:
                # Speed means little if text is lost: score the output when the text is known.
                text = clean_output(tool, out.decode("utf-8", errors="replace")) if code == 0 else ""
                per_input[tool]["words"] = wordscore.score(known_text(bench, entry), text)
        # Interleave: one run of every tool per round, in a shuffled order. A
        # turning order would have each tool always follow the same other one,
        # and the run after another program's pays for the caches it emptied
        # (about 1% on the one-page PDF, after mutool).
        shuffle = random.Random(entry["file"]).shuffle
        for round_no in range(max(r["runs"] for r in per_input.values())):
            order = list(tools)
            shuffle(order)
            for tool in order:
                r = per_input[tool]
                if round_no < r["runs"]:
                    t = bench.timed_run(bench.command(tool, path))
                    if t is None:
                        r["runs"] = round_no
                    else:
                        r["times"].append(t)
        for tool, r in per_input.items():
            r["median"] = statistics.median(r["times"]) if r["times"] else None
            r["mbps"] = entry["bytes"] / 1e6 / r["median"] if r["median"] else None
        results[entry["file"]] = per_input
        log(f"  timed {entry['file']}: " + ", ".join(
            f"{t} {fmt_time(r['median'])}" for t, r in per_input.items()))
    return results


def ratio(a, b):
    return a / b if a is not None and b else None


def performance_goals(files, results):
    """Each goal: (input, text, measured value text, pass). Ours must also exit 0."""
    goals = []
    for entry in files:
        name, kind = entry["file"], entry["type"]
        r = results[name]
        ours = r["ours"]
        large = entry["bytes"] > 1_000_000
        ok_run = ours["exit"] == 0 and ours["median"] is not None
        note = "" if ok_run else f" (ours exit {ours['exit']})"

        def add(text, value, limit_ok, shown):
            goals.append((name, text, shown + note, bool(ok_run and value is not None and limit_ok(value))))

        if kind == "pdf":
            t = ratio(ours["median"], r["pdftotext"]["median"])
            # Start-up is the one-page document's whole cost: no more than pdftotext,
            # read within 5% for the noise of a median. Longer documents are reading.
            limit = 1.05 if name == "p-onepage.pdf" else 1.1
            add(f"time <= {limit:.2f}x pdftotext", t, lambda v: v <= limit, f"{t:.2f}x" if t else "-")
            compared = "pdftotext"
        elif kind == "rtf":
            if large:
                add("throughput >= 100 MB/s", ours["mbps"], lambda v: v >= 100, f"{ours['mbps']:.1f} MB/s" if ours["mbps"] else "-")
                t = ratio(r["unrtf"]["median"], ours["median"])
                add("throughput >= 50x unrtf", t, lambda v: v >= 50, f"{t:.1f}x" if t else "-")
            else:
                t = ratio(ours["median"], r["unrtf"]["median"])
                add("time <= 1.5x unrtf", t, lambda v: v <= 1.5, f"{t:.2f}x" if t else "-")
            compared = "unrtf"
        else:
            if large:
                peers = [p for p in ("lynx", "w3m", "html2text") if r[p]["median"] and r[p]["exit"] == 0]
                compared = min(peers, key=lambda p: r[p]["median"]) if peers else "html2text"
                t = ratio(ours["median"], r[compared]["median"])
                add(f"faster than fastest peer ({compared})", t, lambda v: v < 1.0, f"{t:.2f}x" if t else "-")
                add("throughput >= 20 MB/s", ours["mbps"], lambda v: v >= 20, f"{ours['mbps']:.1f} MB/s" if ours["mbps"] else "-")
            else:
                compared = "html2text"
                t = ratio(ours["median"], r["html2text"]["median"])
                add("time <= 1.5x html2text", t, lambda v: v <= 1.5, f"{t:.2f}x" if t else "-")
        m = ratio(ours["rss_kib"], r[compared]["rss_kib"])
        add(f"peak RSS <= 1.5x {compared}", m, lambda v: v <= 1.5, f"{m:.2f}x" if m else "-")
    # Linear growth: ten times the pages may cost ten times the time (a fifth more
    # for noise) and ten times the memory, no more.
    small, big = results.get("p-pages-1000.pdf"), results.get("p-pages-10000.pdf")
    if small and big:
        t = ratio(big["ours"]["median"], small["ours"]["median"])
        goals.append(("p-pages-10000.pdf", "time <= 12x the 1,000-page run", f"{t:.2f}x" if t else "-",
                      bool(t and t <= 12)))
        m = ratio(big["ours"]["rss_kib"], small["ours"]["rss_kib"])
        goals.append(("p-pages-10000.pdf", "peak RSS <= 10x the 1,000-page run", f"{m:.2f}x" if m else "-",
                      bool(m and m <= 10)))
    return goals


def clean_output(tool, text):
    if tool == "unrtf":
        # unrtf's banner (### lines and a rule) describes the file, it is not its text.
        text = "\n".join(l for l in text.split("\n") if not l.startswith("###") and l.strip("-") != "")
    return text


def known_text(bench, entry):
    return (bench.corpus / entry["ref"]).read_text(encoding="utf-8")


def measure_quality(bench, files):
    rows, goals = [], []
    for entry in files:
        known = known_text(bench, entry)
        path = str(bench.corpus / entry["file"])
        scores = {}
        for tool in QUALITY_TOOLS[entry["type"]]:
            code, out, _ = bench.captured_run(bench.command(tool, path), with_rss=False)
            text = clean_output(tool, out.decode("utf-8", errors="replace")) if code == 0 else ""
            scores[tool] = (code,) + wordscore.score(known, text)
        peers = [s for t, s in scores.items() if t != "ours"]
        best_recall = max(s[1] for s in peers)
        best_precision = max(s[2] for s in peers)
        _, recall, precision = scores["ours"]
        ok = scores["ours"][0] == 0 and recall >= best_recall and precision >= best_precision
        goals.append((entry["file"], "recall and precision >= best peer's",
                      f"{recall:.3f}/{precision:.3f} vs {best_recall:.3f}/{best_precision:.3f}", ok))
        for tool, (code, r, p) in scores.items():
            rows.append([entry["file"], entry["note"], tool, code, f"{r:.3f}", f"{p:.3f}",
                         verdict(ok) if tool == "ours" else ""])
    return rows, goals


def measure_budget(bench, files):
    """Ours once on each of the largest and slowest inputs, with its CPU time
    and peak RSS, under inherited limits of a tenth of its budget: the budget
    holds ten times what a legitimate document needs when it still reads."""
    rows, goals = [], []
    rss_file = bench.scratch / "rss.txt"
    for entry in files:
        cpu = BUDGET_CPU_SECONDS // 10
        data = budget_memory(entry["bytes"]) // 10

        def tenth():
            resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu + 1))
            resource.setrlimit(resource.RLIMIT_DATA, (data, data))

        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        argv = [GNU_TIME, "-f", "%M", "-o", str(rss_file)] + bench.command("ours", str(bench.corpus / entry["file"]))
        code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=bench.env, preexec_fn=tenth, timeout=TIMEOUT).returncode
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        used = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        lines = rss_file.read_text().split()
        rss = int(lines[-1]) / 1024 if lines and lines[-1].isdigit() else None
        ok = code == 0
        goals.append((entry["file"], "reads under a tenth of its budget", f"exit {code}", ok))
        rows.append([entry["file"], fmt_size(entry["bytes"]), code, f"{used:.2f} s",
                     f"{rss:.1f}" if rss else "-", f"{BUDGET_CPU_SECONDS} s",
                     f"{budget_memory(entry['bytes']) / 2**20:.0f}", f"{cpu} s / {data / 2**20:.0f}", verdict(ok)])
    return rows, goals


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--extractor", required=True)
    parser.add_argument("--corpus", required=True, type=Path)
    parser.add_argument("--runs-large", type=int, default=5)
    parser.add_argument("--runs-small", type=int, default=100)
    args = parser.parse_args()

    extractor = os.path.abspath(args.extractor)
    if not os.access(extractor, os.X_OK):
        print(f"measure: no extractor at {extractor}", file=sys.stderr)
        return 2
    missing = [t for t in ["pdftotext", "mutool", "unrtf", "lynx", "w3m", "html2text", "pandoc", GNU_TIME]
               if shutil.which(t) is None]
    if missing:
        print(f"measure: missing tools: {' '.join(missing)}", file=sys.stderr)
        return 2
    corpus = args.corpus.resolve()
    files = json.loads((corpus / "corpus.json").read_text())["files"]
    scratch = corpus / "scratch"
    scratch.mkdir(exist_ok=True)
    # Tools that drop files beside their input would drop them here instead.
    os.chdir(scratch)
    bench = Bench(extractor, corpus, scratch)
    log = lambda s: print(s, file=sys.stderr, flush=True)

    started = time.monotonic()
    # BENCH_ONLY=REGEX keeps only the inputs whose names match, for a quick look.
    only = re.compile(os.environ.get("BENCH_ONLY", ""))
    files = [f for f in files if only.search(f["file"])]
    perf_files = [f for f in files if f["kind"] == "perf"]
    log(f"measure: timing {len(perf_files)} inputs (median of up to {args.runs_large} runs for "
        f"large inputs, {args.runs_small} for small ones)")
    results = measure_performance(bench, perf_files, args.runs_large, args.runs_small, log)
    log("measure: scoring text quality")
    quality_rows, quality_goals = measure_quality(bench, [f for f in files if f["kind"] == "quality"])
    goals = performance_goals(perf_files, results)
    log("measure: the budget on the largest and slowest inputs")
    budget_rows, budget_goals = measure_budget(
        bench, [f for f in files if f["kind"] == "budget" or f["file"] == "p-large.pdf"])

    out = []
    rows = []
    goal_by_input = {}
    for name, text, value, ok in goals:
        goal_by_input.setdefault(name, []).append(f"{text}: {value} {verdict(ok)}")
    for entry in perf_files:
        first = True
        for tool, r in results[entry["file"]].items():
            rows.append([
                entry["file"] if first else "", fmt_size(entry["bytes"]) if first else "", tool,
                r["exit"], fmt_size(r["out_bytes"]), r["runs"], fmt_time(r["median"]),
                f"{r['mbps']:.1f}" if r["mbps"] else "-",
                f"{r['rss_kib'] / 1024:.1f}" if r["rss_kib"] else "-",
                "{:.3f}/{:.3f}".format(*r["words"]) if "words" in r else "",
                "; ".join(goal_by_input.get(entry["file"], [])) if tool == "ours" else "",
            ])
            first = False
    out.append("Speed and memory (wall time: median of the runs; MB = 10^6 bytes; RSS in MiB;"
               " word recall/precision where the text is known)")
    print_table(rows, ["input", "size", "tool", "exit", "output", "runs", "median wall", "MB/s",
                       "peak RSS", "recall/precision", "goals (ours)"], out)
    out.append("")
    out.append("Text quality (word recall and precision against the known text)")
    print_table(quality_rows, ["document", "made by", "tool", "exit", "recall", "precision", "goal (ours)"], out)
    out.append("")
    out.append("Budget (ours once, under inherited limits of a tenth of the budget; MiB = 2^20 bytes;"
               " CPU = user + system)")
    print_table(budget_rows, ["input", "size", "exit", "CPU", "peak RSS", "CPU budget",
                              "data budget", "limits run", "goal"], out)
    out.append("")
    all_goals = goals + quality_goals + budget_goals
    failed = [g for g in all_goals if not g[3]]
    out.append(f"Goals: {len(all_goals) - len(failed)} PASS, {len(failed)} FAIL"
               f" (measured in {time.monotonic() - started:.0f} s)")
    for name, text, value, _ in failed:
        out.append(f"  FAIL {name}: {text}: {value}")
    report = "\n".join(out) + "\n"
    print(report, end="")
    (corpus / "results.txt").write_text(report)
    (corpus / "results.json").write_text(json.dumps(
        {"performance": results, "goals": [list(g) for g in all_goals]}, indent=1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
