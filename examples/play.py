"""Starts a game from a fixed seed, prints what the state shows, then lets a bot play."""

from __future__ import annotations

import corvelle_vim
from corvelle_vim import GameStatePy


def show(title: str, state: GameStatePy) -> None:
    kind, rotation, (row, column) = state.current_pcs
    print(f"== {title}")
    if kind:
        print(f"falling piece   {kind} in R{rotation} at row {row}, column {column}")
    else:
        print("falling piece   none")
    print(f"next pieces     {' '.join(state.next_pcs)}")
    print(f"hold            {state.hold or '-'}")
    print(f"score           {state.score}")
    print(f"lines           {state.total_lines}")
    print(f"moves           {state.total_move_count}")
    print(f"height/holes    {state.height}/{state.holes} (bumpiness {state.bumpi})")
    print(f"game over       {state.game_over}")
    print(state.matrix_txt)


def main() -> None:
    seed = corvelle_vim.generate_seed(0, bytes(32))
    state = GameStatePy(seed)
    show("new game from 32 zero bytes at time 0", state)

    actions = [name for name, _ in state.next_actions_and_states]
    print("single actions possible now:", ", ".join(actions))
    print("the wordpress bot would play:", " ".join(state.bot_moves_raw("wordpress")))

    saved = state.to_bytes()
    restored = GameStatePy.state_from_bytes(saved)
    print(f"byte form: {len(saved)} bytes, round trip equal: {restored.to_bytes() == saved}")

    episode = state.generate_bot_episode("wordpress", 200)
    final = episode[-1][1] if episode else state
    print(f"\nwordpress bot played {len(episode)} actions")
    show("after the bot episode", final)
    print(f"final score {final.score}, lines {final.total_lines}")


if __name__ == "__main__":
    main()
