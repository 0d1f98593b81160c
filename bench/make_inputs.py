"""Writes the benchmarks' fixed inputs in bench/inputs/ (run once; the files are checked in).

The bots break ties with operating-system randomness, so running this again writes other
action lists; the benchmarks only ever read the stored files.

    python bench/make_inputs.py

- fresh.txt: a seed record and no actions.
- midgame.txt: from another seed, 12 'random' placements (a ragged stack with holes), then 30
  'wordpress' placements; ends just after a hard drop, so every action works on the state.
  Drawn again until the stack is 6 to 10 rows high with at least 4 holes.
- replay.txt.gz: 100,000 actions of one game: 'wordpress' places each piece, then the new
  piece is wiggled left and right up to 12 times, as a person's recording has many small
  moves; this keeps one game going for the whole length.
"""
import sys

import game_scripts as gs

FRESH_SEED = bytes(range(32))
MIDGAME_SEED = bytes((7 * i + 3) & 0xFF for i in range(32))
REPLAY_SEED = bytes((11 * i + 5) & 0xFF for i in range(32))
TS = 1_700_000_000_000_000
REPLAY_ACTIONS = 100_000
WIGGLES = 12


def step(state, name, actions):
    state = dict(state.next_actions_and_states)[name]
    actions.append(name)
    return state


def midgame():
    for _ in range(1000):
        script = gs.GameScript(MIDGAME_SEED, TS, [])
        state = script.new_game()
        for bot, placements in (("random", 12), ("wordpress", 30)):
            for _ in range(placements):
                for name in state.bot_moves_raw(bot):
                    state = step(state, name, script.actions)
        if (not state.game_over and len(state.next_actions_and_states) == 7
                and 6 <= state.height <= 10 and state.holes >= 4):
            return script
    sys.exit("no mid-game state of the wanted shape")


def replay():
    script = gs.GameScript(REPLAY_SEED, TS, [])
    state = script.new_game()
    actions = script.actions
    while len(actions) < REPLAY_ACTIONS:
        if state.game_over:
            sys.exit("the replay game ended early; run again")
        for name in state.bot_moves_raw("wordpress"):
            state = step(state, name, actions)
        for k in range(WIGGLES):
            name = "MoveLeft" if k % 2 == 0 else "MoveRight"
            if name not in dict(state.next_actions_and_states):
                break
            state = step(state, name, actions)
    del actions[REPLAY_ACTIONS:]
    return script


def main():
    gs.INPUTS.mkdir(exist_ok=True)
    gs.GameScript(FRESH_SEED, TS, []).save(
        gs.INPUTS / "fresh.txt", "A new game: the fresh state of the benchmarks.")
    gs.GameScript.save(midgame(), gs.INPUTS / "midgame.txt",
                       "The mid-game state: 12 'random' then 30 'wordpress' placements.\n"
                       "Written by bench/make_inputs.py; all actions at time 0.")
    gs.GameScript.save(replay(), gs.INPUTS / "replay.txt.gz",
                       f"{REPLAY_ACTIONS} actions of one game: 'wordpress' placements, each followed\n"
                       f"by up to {WIGGLES} left/right wiggles. Written by bench/make_inputs.py;\n"
                       "all actions at time 0. The engine benchmark replays the first 10,000.")


if __name__ == "__main__":
    main()
