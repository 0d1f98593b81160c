"""Prints the benchmark table (name, median, unit, target, mark) from the engine's Google
Benchmark JSON and the pyperf JSON, and writes it as Markdown to --out.

    python bench/report.py --engine E.json --python P.json [--envs ENVS.txt] [--out latest.md]

Medians: the engine's median aggregate over repetitions (one repetition: its only value);
pyperf's median over all values of all worker processes. Rates are work / median time.
"""
import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import pyperf

import game_scripts as gs

# Unit: (name shown, seconds per unit) for times; rates and sizes are shown as they are.
TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}
GB_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}

MOVES = ("MoveLeft", "MoveRight", "RotateLeft", "RotateRight", "Nothing")


class Row:
    """One line of the table. `source` is 'engine' or 'python', `key` the benchmark's name
    there; or `source` is 'ratio' and `key` two engine benchmarks' names, the row showing the
    first's median over the second's. `work` turns the time into a rate. `target` is (op, value) in the row's unit, or a
    function of the measured rows returning one."""

    def __init__(self, name, source, key, unit, target=None, work=None):
        self.name, self.source, self.key, self.unit = name, source, key, unit
        self.target, self.work = target, work
        self.value = None


def rows():
    out = [Row("engine new_game", "engine", "new_game", "ns")]
    for label in ("fresh", "midgame"):
        for action in gs.ACTION_NAMES:
            target = (("<=", 150) if action in MOVES
                      else ("<=", 300) if action == "HardDrop" else None)
            out.append(Row(f"engine try_action {action}, {label}", "engine",
                           f"try_action/{label}/{action}", "ns", target))
    out.append(Row("engine seed step alone (accept_event)", "engine", "seed_step/independent",
                   "ns"))
    out.append(Row("engine seed step alone, each on the last one's seed", "engine",
                   "seed_step/chained", "ns"))
    # 1,000 dependent adds per iteration: adds per ns is the clock in GHz (x86-64 only).
    out.append(Row("engine core clock (dependent vector adds)", "engine", "core_clock", "GHz",
                   work=1_000 * 1e-9))
    out.append(Row("engine hard drop (lock, next piece), replay mix", "engine",
                   "hard_drop/replay_mix", "ns", ("<=", 300)))
    for bot in ("wordpress", "random"):
        for label in ("fresh", "midgame"):
            target = ("<=", 10) if (bot, label) == ("wordpress", "midgame") else None
            out.append(Row(f"engine '{bot}' decision, {label}", "engine",
                           f"decision/{bot}/{label}", "us", target))
    for label in ("fresh", "midgame"):
        out.append(Row(f"engine move-chain sweep (96 chains), {label}", "engine",
                       f"valid_chains/{label}", "us"))
    for label in ("fresh", "midgame"):
        out.append(Row(f"engine every placement (paths, spins), {label}", "engine",
                       f"placements/{label}", "us", ("<=", 10) if label == "midgame" else None))
        out.append(Row(f"engine every placement with hold (paths, spins), {label}", "engine",
                       f"placements_hold/{label}", "us"))
    out.append(Row("engine one placement's state (its keys with try_action), midgame", "engine",
                   "placement_state/midgame", "ns"))
    for op in ("encode", "decode"):
        for label in ("fresh", "midgame"):
            out.append(Row(f"engine {op} state, {label}", "engine", f"{op}/{label}", "ns"))
    # Ratios of two rows of the same run: they move little with the clock, so they tell a
    # slower build from a slower host.
    out.append(Row("ratio: one action (MoveLeft, midgame) / seed step alone", "ratio",
                   ("try_action/midgame/MoveLeft", "seed_step/independent"), "x"))
    out.append(Row("ratio: move-chain sweep, midgame / one action (MoveLeft, midgame)", "ratio",
                   ("valid_chains/midgame", "try_action/midgame/MoveLeft"), "x"))
    out.append(Row("engine replay decode, 10,000 actions", "engine", "replay/decode_10k", "us"))
    out.append(Row("engine replay playback, 10,000 actions", "engine", "replay/playback_10k",
                   "actions/s", work=10_000))

    out.append(Row("py GameStatePy(seed)", "python", "GameStatePy(seed)", "us"))
    out.append(Row("py main_board, midgame", "python", "main_board/midgame", "us"))
    for label in ("fresh", "midgame"):
        out.append(Row(f"py next_actions_and_states, {label}", "python",
                       f"next_actions_and_states/{label}", "us", ("<=", 2.5)))
    for label in ("fresh", "midgame"):
        out.append(Row(f"py bot_moves_raw('wordpress'), {label}", "python",
                       f"bot_moves_raw(wordpress)/{label}", "us",
                       engine_plus(f"decision/wordpress/{label}", 1.0)))
    out.append(Row("py generate_bot_episode('wordpress', 10000)", "python",
                   "generate_bot_episode(wordpress, 10000)", "steps/s", (">=", 300_000),
                   work=10_000))
    for label in ("fresh", "midgame"):
        out.append(Row(f"py get_valid_move_chains(), {label}", "python",
                       f"get_valid_move_chains/{label}", "us", ("<=", 25)))
    for label in ("fresh", "midgame"):
        out.append(Row(f"py corvelle.placements(state), {label}", "python",
                       f"placements/{label}", "us"))
        out.append(Row(f"py corvelle.placements(state, hold=False), {label}", "python",
                       f"placements(hold=False)/{label}", "us"))
    out.append(Row("py Placement.state (first read), midgame", "python",
                   "Placement.state/midgame", "us"))
    out.append(Row("py to_bytes(), midgame", "python", "to_bytes/midgame", "us", ("<=", 1.5)))
    out.append(Row("py state_from_bytes(), midgame", "python", "state_from_bytes/midgame", "us",
                   ("<=", 2)))
    out.append(Row("py load_replay_from_bytes, 100,000 actions", "python",
                   "load_replay_from_bytes/100000", "actions/s", (">=", 2_000_000),
                   work=100_000))
    out.append(Row("py matrix_txt, midgame", "python", "matrix_txt/midgame", "us"))
    out.append(Row("py sys.getsizeof(GameStatePy)", "size", "getsizeof", "bytes", ("<=", 512)))
    return out


def engine_plus(key, extra_us):
    """Target: the engine's median for `key` (in us) plus `extra_us`."""
    def target(seconds):
        base = seconds.get(("engine", key))
        return None if base is None else ("<=", base / 1e-6 + extra_us)
    return target


def engine_medians(path):
    """Benchmark name -> median seconds from a Google Benchmark JSON file."""
    data = json.loads(Path(path).read_text())
    medians, singles = {}, {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        seconds = b["real_time"] * GB_UNITS[b.get("time_unit", "ns")]
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = seconds
        else:
            singles.setdefault(name, seconds)
    return {**singles, **medians}


def python_medians(path):
    suite = pyperf.BenchmarkSuite.load(str(path))
    return {b.get_name(): b.median() for b in suite.get_benchmarks()}


def measure(row_list, engine_json, python_json):
    seconds = {}
    if engine_json and Path(engine_json).exists():
        seconds.update({("engine", k): v for k, v in engine_medians(engine_json).items()})
    if python_json and Path(python_json).exists():
        seconds.update({("python", k): v for k, v in python_medians(python_json).items()})
    for row in row_list:
        if callable(row.target):
            row.target = row.target(seconds)
        if row.source == "size":
            row.value = sys.getsizeof(gs.load("midgame.txt").final_state())
            continue
        if row.source == "ratio":
            top, bottom = (seconds.get(("engine", k)) for k in row.key)
            if top is not None and bottom:
                row.value = top / bottom
            continue
        s = seconds.get((row.source, row.key))
        if s is None:
            continue
        row.value = row.work / s if row.work else s / TIME_UNITS[row.unit]


def fmt(value, unit):
    if value is None:
        return "n/a"
    if unit in ("actions/s", "steps/s", "bytes"):
        return f"{value:,.0f}"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value < 10 else f"{value:.1f}"


def fmt_limit(value):
    return f"{int(value):,}" if float(value).is_integer() else f"{value:.3g}"


def mark(row):
    if row.target is None:
        return ""
    if row.value is None:
        return "missing"
    op, limit = row.target
    ok = row.value <= limit if op == "<=" else row.value >= limit
    return "pass" if ok else "short"


def table(row_list):
    head = ("name", "median", "unit", "target", "mark")
    body = [(r.name, fmt(r.value, r.unit), r.unit,
             f"{r.target[0]} {fmt_limit(r.target[1])}" if r.target else "", mark(r))
            for r in row_list]
    widths = [max(len(x[i]) for x in [head] + body) for i in range(len(head))]
    right = (False, True, False, True, False)

    def line(cells):
        return "| " + " | ".join(c.rjust(w) if r else c.ljust(w)
                                 for c, w, r in zip(cells, widths, right)) + " |"
    rule = "| " + " | ".join(("-" * (w - 1) + ":") if r else "-" * w
                             for w, r in zip(widths, right)) + " |"
    return "\n".join([line(head), rule] + [line(b) for b in body])


def machine():
    model = ""
    try:
        for ln in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if ln.startswith("Model name"):
                model = ln.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs, {model or platform.processor() or 'unknown CPU'}"


def seed_kernels(engine_json):
    """The ChaCha kernels the engine benchmarks ran, from their JSON context."""
    try:
        kernels = json.loads(Path(engine_json).read_text())["context"].get("seed_kernels")
    except (OSError, TypeError, ValueError, KeyError):
        return ""
    return f"; seed kernels {kernels}" if kernels else ""


def revision():
    try:
        root = Path(__file__).resolve().parent.parent
        rev = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain",
                                "--untracked-files=no"], capture_output=True, text=True).stdout
        return rev + (" (modified)" if dirty.strip() else "") if rev else "unknown"
    except OSError:
        return "unknown"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--engine", help="Google Benchmark JSON of bench/engine_bench")
    ap.add_argument("--python", help="pyperf JSON of bench/python_bench.py")
    ap.add_argument("--envs", help="output of bench/envs_bench.py, shown after the table")
    ap.add_argument("--envs-failed", action="store_true",
                    help="bench/envs_bench.py failed; --envs holds its output")
    ap.add_argument("--mode", default="full")
    ap.add_argument("--out", help="also write the report here as Markdown")
    args = ap.parse_args()

    row_list = rows()
    measure(row_list, args.engine, args.python)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    short = sum(mark(r) == "short" for r in row_list)
    missing = sum(mark(r) == "missing" for r in row_list)
    targets = sum(r.target is not None for r in row_list)
    lines = [
        "# corvelle_vim benchmarks",
        "",
        f"{now}, {args.mode} run, revision {revision()}; {machine()}"
        f"{seed_kernels(args.engine)}; Python {platform.python_version()}.",
        "Medians; engine times from bench/engine_bench (Google Benchmark), Python times from "
        "bench/python_bench.py (pyperf).",
        "",
        table(row_list),
        "",
        f"{targets - short - missing} of {targets} targets pass, {short} short"
        + (f", {missing} missing." if missing else "."),
    ]
    if args.envs and Path(args.envs).exists():
        out = Path(args.envs).read_text().rstrip().splitlines()
        lines += ["", "## bench/envs_bench.py", ""]
        if args.envs_failed:
            lines += [f"Did not run to the end; the last lines of {args.envs}:", ""]
            out = out[-5:]
        lines += ["```"] + out + ["```"]
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()
