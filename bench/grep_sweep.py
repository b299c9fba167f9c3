#!/usr/bin/env python3
"""Sweep of everyday `qelch grep` commands against `grep -P` and ripgrep.

Each pattern runs in its plain form (the lines printed) and with -c, -i and,
where they make sense, -w or -v. Every command writes its output to a file
(GNU grep stops at the first match when it writes to /dev/null), and the
three tools' outputs must be byte for byte the same. The tools run in turn,
the order rotated each round, so a burst of load from other programs hits
them alike; the figure kept is the median CPU time (user plus system) of the
rounds.

    bench/grep_sweep.py TEXT [--qelch BIN] [--runs N] [--filter SUBSTR]

Prints a Markdown table ranked by qelch's ratio to `grep -P` (peer time /
qelch time; above 1 means qelch is faster), and exits with 1 if any output
differed.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

# name | pattern | variants besides plain, -c and -i ("w": -w, "v": -v)
ROWS = [
    ("word", "static", "wv"),
    ("phrase", "unsigned int", "wv"),
    ("rare word", "qsort", "w"),
    ("rare word", "EOVERFLOW", "w"),
    ("frequent word", "const", "wv"),
    ("frequent word", "the", "w"),
    ("alternation of 2", "struct|union", "wv"),
    ("alternation of 4", "int8_t|int16_t|int32_t|int64_t", "w"),
    ("alternation of 6", "malloc|calloc|realloc|free|strdup|memcpy", "w"),
    ("alternation of 10", "if|else|while|for|return|break|continue|switch|case|default", "wv"),
    ("class-led", "[A-Z][a-z]+Error", "w"),
    ("class-led", r"\d{4}-\d\d", "v"),
    ("class-led", r"\bstatic\s+inline\b", "v"),
    ("line start", "^#include", "v"),
    ("line start", "^}", "v"),
    ("line end", r";\s*$", "v"),
    ("dot-star", "foo.*bar", "v"),
    ("dot-star", r"struct.*\{", "v"),
    ("dot-star", r"const.*\*", "v"),
    ("back-reference", r"\b(\w+)\s+\1\b", "v"),
    ("back-reference", r"(\w+)_\1", "v"),
    ("look-ahead", r"\w+(?=\()", "v"),
    ("look-behind", r"(?<=struct )\w+", "w"),
    ("negative look-ahead", r"return\s+(?!0\b)\w+", "v"),
    ("ignore-case literal", "(?i)error", "wv"),
]


def cpu_run(argv, out_path):
    """Runs argv with stdout to out_path; returns (CPU seconds, exit code)."""
    with open(out_path, "wb") as out:
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
    return usage.ru_utime + usage.ru_stime, os.waitstatus_to_exitcode(status)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser()
    ap.add_argument("text")
    ap.add_argument("--qelch", default=os.path.join(root, "build/apps/qelch/qelch"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--filter", default="")
    args = ap.parse_args()
    os.environ["LC_ALL"] = "C"
    with open(args.text, "rb") as f:  # into the page cache before any timing
        while f.read(1 << 20):
            pass
    work = tempfile.mkdtemp()
    results, differ = [], False
    for name, pat, extra in ROWS:
        variants = [[], ["-c"], ["-i"]] + [["-" + v] for v in extra]
        for flags in variants:
            shown = " ".join(flags + [pat])
            if args.filter and args.filter not in shown:
                continue
            tools = {
                "qelch": [args.qelch, "grep"] + flags + ["--", pat, args.text],
                "grep -P": ["grep", "-P"] + flags + ["--", pat, args.text],
                "rg": ["rg", "--no-unicode", "--engine", "auto"] + flags + ["--", pat, args.text],
            }
            names = list(tools)
            times = {t: [] for t in names}
            codes = {}
            for r in range(args.runs):
                order = names[r % 3:] + names[:r % 3]
                for t in order:
                    sec, code = cpu_run(tools[t], os.path.join(work, t.replace(" ", "_")))
                    times[t].append(sec)
                    codes[t] = code
            outs = {t: open(os.path.join(work, t.replace(" ", "_")), "rb").read() for t in names}
            same = outs["qelch"] == outs["grep -P"]
            same_rg = outs["qelch"] == outs["rg"]
            if not same or not same_rg or len(set(codes.values())) != 1:
                differ = True
                print(f"grep_sweep: outputs differ for {shown!r}: grep -P {'same' if same else 'differs'}, "
                      f"rg {'same' if same_rg else 'differs'}, exit codes {codes}", file=sys.stderr)
            med = {t: statistics.median(times[t]) for t in names}
            lines = outs["qelch"].count(b"\n") if "-c" not in flags else int(outs["qelch"] or b"0")
            results.append((name, shown, lines, med, same and same_rg))
            print(f"  {shown}: qelch {med['qelch']:.3f} grep -P {med['grep -P']:.3f} rg {med['rg']:.3f}",
                  file=sys.stderr, flush=True)
    ratio = lambda m, t: m[t] / max(m["qelch"], 1e-3)
    results.sort(key=lambda r: ratio(r[3], "grep -P"))
    print("| row | command | lines | qelch s | grep -P s | rg s | vs grep -P | vs rg | equal |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|")
    for name, shown, lines, med, same in results:
        cmd = shown.replace("|", "\\|")
        print(f"| {name} | `{cmd}` | {lines} | {med['qelch']:.3f} | {med['grep -P']:.3f} | {med['rg']:.3f} | "
              f"{ratio(med, 'grep -P'):.2f} | {ratio(med, 'rg'):.2f} | {'yes' if same else 'NO'} |")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
