"""A user's script, checked by mypy and pyright against the installed stub."""
# pyright: strict

from __future__ import annotations

import corvelle_vim
from corvelle_vim import GameSeedPy, GameStatePy


def first_game() -> GameStatePy:
    seed: GameSeedPy = corvelle_vim.generate_seed(0, bytes(32))
    ts: int = seed.ts
    values: list[int] = seed.seed
    assert ts == 0 and len(values) == 32
    return GameStatePy(seed)


def describe(state: GameStatePy) -> str:
    kind, rotation, (row, column) = state.current_pcs
    upcoming: list[str] = state.next_pcs
    board: list[list[bool]] = state.main_board
    hold: str | None = state.hold
    facts = [
        f"{kind} r{rotation} at ({row}, {column})",
        f"next {''.join(upcoming)}",
        f"{sum(map(sum, board))} solid cells",
        f"hold {hold}",
        f"score {state.score} lines {state.total_lines} moves {state.total_move_count}",
        f"height {state.height} holes {state.holes} bumpiness {state.bumpi}",
        f"over {state.game_over}",
    ]
    return "\n".join(facts) + state.matrix_txt


def play(state: GameStatePy) -> GameStatePy:
    successors: list[tuple[str, GameStatePy]] = state.next_actions_and_states
    name, after = successors[0]
    assert isinstance(name, str)
    moves: list[str] = after.bot_moves_raw("wordpress")
    episode: list[tuple[str, GameStatePy]] = after.generate_bot_episode("random", 10)
    chains: list[list[str]] = GameStatePy.get_all_move_chains()
    valid: list[tuple[list[str], GameStatePy]] = after.get_valid_move_chains()
    assert moves is not None and chains and valid is not None
    return episode[-1][1] if episode else after


def round_trip(state: GameStatePy) -> GameStatePy:
    data: list[int] = state.to_bytes()
    again = GameStatePy.state_from_bytes(data)
    also = GameStatePy.state_from_bytes(bytes(data))
    assert again.to_bytes() == also.to_bytes()
    packed: bytes = bytes(again)
    assert again == also and hash(again) == hash(packed)
    return again


def replay(data: bytes) -> list[GameStatePy]:
    start, steps = GameStatePy.load_replay_from_bytes(data)
    return [start] + [s for _, s in steps]


def main() -> None:
    total: str = corvelle_vim.sum_as_string(1, 2)
    fresh: GameSeedPy = corvelle_vim.generate_random_seed()
    print(total, fresh.ts)
    state = round_trip(play(first_game()))
    print(describe(state))
    print(state.html[:40], state.debug_current_pcs_info, state.current_pcs_rotation)
    print(state.is_t_spin, state.is_t_mini_spin, state.is_b2b, state.combo_counter)
    print(state.total_garbage_sent, state.garbage_recv)


if __name__ == "__main__":
    main()
