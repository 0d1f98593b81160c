"""The beam search bot's figures: survival and attack over long games, wins against
'wordpress' in guideline matches, and decisions per second at the default and a fast setting.

    python bench/beam_bench.py                       # the full run: 20 games x 20,000 pieces,
                                                     # 200 matches (hours on one core)
    python bench/beam_bench.py --games 4 --pieces 2000 --matches 40      # a reduced run

Games start from fixed seeds (SHA-256 of a tag and the game number), no garbage, and are
played by the native loop (`corvelle._batch.beam_play`, every key at time 0) on one core; a
game's decisions per second are its placements over its wall time, the search and the
playing of its keys together. Matches are `corvelle.versus.play_bot_match("beam",
"wordpress", ...)` under the guideline table, seeded by `match_seeds` from a fixed master seed,
the beam bot as player 0 with key paths of at most 16 actions (a turn's limit). Prints one
table of medians (and totals) with each target and whether it was met. Never part of the
test suite.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import statistics
import sys
import time
from typing import Any, Dict, List

import corvelle_vim
from corvelle import _batch, versus
from corvelle.bots import DEFAULT, FAST
from corvelle_vim import GameStatePy

TAG = b"corvelle.beam_bench"


def game_state(i: int) -> bytes:
    seed = hashlib.sha256(TAG + i.to_bytes(8, "little")).digest()
    return bytes(GameStatePy(corvelle_vim.generate_seed(0, seed)).to_bytes())


def play_games(games: int, pieces: int, width: int, depth: int, weights: str,
               first: int = 0) -> List[Dict[str, Any]]:
    out = []
    for i in range(first, first + games):
        start = time.perf_counter()
        final, fig = _batch.beam_play(game_state(i), pieces, width=width, depth=depth,
                                      weights=weights)
        seconds = time.perf_counter() - start
        n = max(1, fig["pieces"])
        row = dict(fig, game=i, seconds=seconds, topped_out=GameStatePy.state_from_bytes(final).game_over,
                   rate=fig["pieces"] / seconds, app=fig["attack"] / n, lpp=fig["lines"] / n,
                   tspins_per_100=100 * fig["t_spins"] / n)
        print(f"  game {i}: {fig['pieces']} pieces, {'TOPPED OUT' if row['topped_out'] else 'alive'}, "
              f"app {row['app']:.3f}, lines/piece {row['lpp']:.3f}, T-spins/100 "
              f"{row['tspins_per_100']:.1f}, longest b2b {fig['longest_back_to_back']}, "
              f"{row['rate']:.0f} decisions/s", file=sys.stderr, flush=True)
        out.append(row)
    return out


def play_matches(matches: int, max_steps: int, delay: int) -> Dict[str, Any]:
    master = hashlib.sha256(TAG + b"versus").digest()
    wins = losses = draws = 0
    app = []
    start = time.perf_counter()
    for i in range(matches):
        seed_a, seed_b = versus.match_seeds(master, i)
        m = versus.play_bot_match("beam", "wordpress", seed_a, seed_b, attack="guideline",
                                  delay=delay, max_steps=max_steps)
        wins += m.winner == 0
        losses += m.winner == 1
        draws += m.winner == "draw"
        app.append(m.metrics()["players"][0]["app"])
        print(f"  match {i}: winner {m.winner}, {m.steps} steps", file=sys.stderr, flush=True)
    low, high = versus.wilson_interval(wins, matches)
    return {"matches": matches, "wins": wins, "losses": losses, "draws": draws,
            "win_share": wins / matches if matches else 0.0, "interval": (low, high),
            "median_app": statistics.median(app) if app else 0.0,
            "seconds": time.perf_counter() - start}


def main(argv: List[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--games", type=int, default=20)
    ap.add_argument("--first-game", type=int, default=0,
                    help="the number of the first game (a long run in parts)")
    ap.add_argument("--pieces", type=int, default=20_000)
    ap.add_argument("--matches", type=int, default=200)
    ap.add_argument("--max-steps", type=int, default=10_000, help="match step limit (a draw)")
    ap.add_argument("--delay", type=int, default=0, help="garbage delay of the matches")
    ap.add_argument("--fast-pieces", type=int, default=2_000, help="pieces of the fast-setting game")
    ap.add_argument("--width", type=int, default=DEFAULT["width"])
    ap.add_argument("--depth", type=int, default=DEFAULT["depth"])
    ap.add_argument("--weights", default="default")
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args(argv)

    print(f"survival: {args.games} games x {args.pieces} pieces, width {args.width}, depth "
          f"{args.depth}, weights {args.weights}", file=sys.stderr)
    games = play_games(args.games, args.pieces, args.width, args.depth, args.weights,
                       args.first_game)
    print(f"fast setting: 1 game x {args.fast_pieces} pieces, width {FAST['width']}, depth "
          f"{FAST['depth']}", file=sys.stderr)
    fast = play_games(1 if args.fast_pieces else 0, args.fast_pieces, FAST["width"], FAST["depth"],
                      args.weights)
    print(f"versus: {args.matches} guideline matches against 'wordpress'", file=sys.stderr)
    vs = play_matches(args.matches, args.max_steps, args.delay)

    med = lambda key, rows=games: statistics.median(r[key] for r in rows) if rows else 0.0  # noqa: E731
    topped = sum(r["topped_out"] for r in games)
    rows = []
    if games:
        rows += [
            ("games topped out", f"{topped} of {len(games)} ({args.pieces} pieces each)", "0",
             topped == 0),
            ("attack per piece (guideline), median", f"{med('app'):.3f}", ">= 0.5",
             med("app") >= 0.5),
            ("lines per piece, median", f"{med('lpp'):.3f}", "", None),
            ("T-spin clears per 100 pieces, median", f"{med('tspins_per_100'):.2f}", "", None),
            ("longest back-to-back run, median", f"{med('longest_back_to_back'):.0f}", "", None),
            ("back-to-back clears per game, median", f"{med('back_to_back'):.0f}", "", None),
            (f"decisions/s, width {args.width} depth {args.depth}, median", f"{med('rate'):.0f}",
             ">= 100", med("rate") >= 100),
        ]
    if fast:
        rows.append((f"decisions/s, width {FAST['width']} depth {FAST['depth']}",
                     f"{med('rate', fast):.0f}", ">= 2000", med("rate", fast) >= 2000))
    if vs["matches"]:
        rows += [
            ("wins against wordpress", f"{vs['wins']} of {vs['matches']} ({vs['win_share']:.3f}; "
             f"95 % interval {vs['interval'][0]:.3f}-{vs['interval'][1]:.3f}; {vs['draws']} "
             "draws)", ">= 0.95", vs["win_share"] >= 0.95),
            ("attack per piece in matches, median", f"{vs['median_app']:.3f}", "", None),
        ]
    print("| figure | value | target | met |\n|---|---|---|---|")
    for name, value, target, met in rows:
        print(f"| {name} | {value} | {target} | {'' if met is None else ('yes' if met else 'no')} |")
    total = sum(r["pieces"] for r in games) + sum(r["pieces"] for r in fast)
    print(f"\n{total} placements played in games, {args.matches} matches in {vs['seconds']:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"games": games, "fast": fast, "versus": vs, "args": vars(args)}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
