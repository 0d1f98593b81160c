"""A Parquet dataset of bot-played games converted to a Minari dataset, the offline-RL format
of the Farama Foundation, in the observation and action encoding of one of the environments.

    from corvelle.datagen import to_minari
    dataset = to_minari("data/", "corvelle/placement/wordpress-v0")             # Placement-v0
    dataset = to_minari("data/", "corvelle/keys/wordpress-v0", level="keys")    # Key-v0

Each game becomes one episode. At the placement level a step is one chain (the action is its
index in the 96-chain list, the reward the change in score over the chain), observed in the
state the chain starts from; at the key level a step is one engine action (index 0-7), as
`corvelle/Key-v0` steps. Observations and action masks (`infos["action_mask"]`, one per
observation) are those the environment computes, made by the same native code. An episode
is terminated when the game is lost and truncated when it stopped before (the dataset's
piece limit). At the placement level, a game in which the bot found no chain and let the
piece fall a row instead has its episode truncated there, since that move has no action.

The dataset is built in a hidden directory beside its place under `MINARI_DATASETS_PATH`
(default ~/.minari/datasets) and renamed into place once whole: a conversion that fails
leaves nothing behind. Needs minari and pyarrow (`pip install corvelle-vim[minari]`).
"""

from __future__ import annotations

import importlib
import os
import secrets
import shutil
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ._run import read_manifest
from ._shards import MissingExtraError, require_pyarrow

__all__ = ["LEVELS", "to_minari"]

# Conversion level -> (environment id, native batch mode).
LEVELS: Dict[str, Tuple[str, str]] = {
    "placement": ("corvelle/Placement-v0", "placement"),
    "keys": ("corvelle/Key-v0", "keys"),
}
_COLUMNS = (
    "game_id",
    "state",
    "action_index",
    "next_state",
    "reward",
    "game_over",
    "chain_index",
    "chain_start",
    "chain_state",
    "step",
)
_EPISODES_PER_WRITE = 32


def _require_minari() -> Any:
    try:
        return importlib.import_module("minari")
    except ImportError:
        raise MissingExtraError(
            "writing a Minari dataset needs minari (pip install corvelle-vim[minari])"
        ) from None


def _shard_files(path: str) -> List[str]:
    """The Parquet files of a dataset directory (every shard of a complete dataset, in game
    order) or the one file given."""
    if not os.path.isdir(path):
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such Parquet file or dataset directory")
        return [path]
    manifest = read_manifest(path)
    if manifest is None:
        raise ValueError(f"{path}: no manifest.json; not a corvelle datagen dataset")
    if not manifest.get("complete"):
        raise ValueError(
            f"{path}: the dataset is not complete; finish it with 'corvelle datagen ... --resume'"
        )
    shards = sorted(manifest.get("shards", []), key=lambda s: s["first_game"])
    return [os.path.join(path, s["file"]) for s in shards]


def _played_by_beam(files: Sequence[str]) -> bool:
    """Whether the rows name placements of the complete placement set (bot 'beam')."""
    pq = importlib.import_module("pyarrow.parquet")
    for name in files:
        if "placement_action" not in pq.read_schema(name).names:
            continue
        column = pq.read_table(name, columns=["placement_action"]).column("placement_action")
        if column.null_count < len(column):
            return True
    return False


def _games(files: Sequence[str]) -> Iterator[Dict[str, List[Any]]]:
    """The rows of each game, column by column, in game and step order."""
    pq = importlib.import_module("pyarrow.parquet")
    for name in files:
        table = pq.read_table(name, columns=list(_COLUMNS))
        columns = {c: table.column(c).to_pylist() for c in _COLUMNS}
        ids = columns["game_id"]
        start = 0
        for end in range(1, len(ids) + 1):
            if end == len(ids) or ids[end] != ids[start]:
                yield {c: v[start:end] for c, v in columns.items()}
                start = end


class _Observer:
    """Observations and action masks of states, as a one-game native batch of the level's mode
    writes them when it continues from a state."""

    def __init__(self, mode: str) -> None:
        from ..envs.arena import Batch, arena_views
        from ..envs.obs import OBS_KEYS

        self.keys = OBS_KEYS
        self.batch = Batch(1, mode=mode, reward="score", autoreset=False)  # type: ignore[arg-type]
        self.views = arena_views(self.batch)

    def __call__(self, states: Sequence[bytes]) -> Tuple[Dict[str, Any], Any]:
        np = importlib.import_module("numpy")
        obs = {
            k: np.empty((len(states),) + self.views[k].shape[1:], self.views[k].dtype)
            for k in self.keys
        }
        masks = np.empty((len(states),) + self.views["mask"].shape[1:], np.int8)
        for i, data in enumerate(states):
            self.batch.set_state(0, data)
            for k in self.keys:
                obs[k][i] = self.views[k][0]
            masks[i] = self.views["mask"][0]
        return obs, masks


def _wrap_int32(v: int) -> int:
    return (v + 2**31) % 2**32 - 2**31


# An episode's states (one more than its steps), actions, rewards and whether it ends lost.
Steps = Tuple[List[bytes], List[int], List[float], bool]


def _placement_steps(game: Dict[str, List[Any]]) -> Steps:
    """(states, actions, rewards, terminated) of a game's placement episode: the chains in
    order, up to the first move that is not one."""
    states: List[bytes] = []
    actions: List[int] = []
    rewards: List[float] = []
    terminated = False
    reward_from = 0
    for i, chain in enumerate(game["chain_index"]):
        if chain is None:
            continue
        start = game["chain_start"][i] - game["step"][0]
        if start != reward_from:
            break  # a fallback move came before this chain: the episode ends before it
        states.append(game["chain_state"][i])
        actions.append(chain)
        rewards.append(float(_wrap_int32(sum(game["reward"][start : i + 1]))))
        reward_from = i + 1
        if game["game_over"][i]:
            terminated = True
            break
    if actions:
        states.append(game["next_state"][reward_from - 1])
    return states, actions, rewards, terminated


def _key_steps(game: Dict[str, List[Any]]) -> Steps:
    states = list(game["state"]) + [game["next_state"][-1]]
    rewards = [float(_wrap_int32(r)) for r in game["reward"]]
    return states, list(game["action_index"]), rewards, bool(game["game_over"][-1])


def to_minari(
    parquet_path: Union[str, "os.PathLike[str]"],
    dataset_id: str,
    *,
    level: str = "placement",
    data_format: str = "arrow",
    author: Optional[str] = None,
    description: Optional[str] = None,
) -> Any:
    """Converts the Parquet dataset at `parquet_path` (a `corvelle datagen` directory, which
    must be complete, or one shard file) into the Minari dataset `dataset_id` (for instance
    "corvelle/placement/wordpress-v0") and returns it as a `minari.MinariDataset`.

    `level` is "placement" (episodes of corvelle/Placement-v0) or "keys" (corvelle/Key-v0);
    the environment's spec is recorded, so `dataset.recover_environment()` makes it.
    `data_format` is a Minari storage format: "arrow" (default, needs pyarrow) or "hdf5"
    (needs h5py). ValueError when the id is taken or malformed, the level unknown or the
    Parquet dataset incomplete; on any error nothing is left under MINARI_DATASETS_PATH."""
    if level not in LEVELS:
        raise ValueError(f"level must be 'placement' or 'keys', not {level!r}")
    minari = _require_minari()
    require_pyarrow()
    import gymnasium as gym

    # minari has no type information: its parts are taken as Any.
    part = importlib.import_module
    EpisodeBuffer = part("minari.data_collector.episode_buffer").EpisodeBuffer
    parse_dataset_id = part("minari.dataset.minari_dataset").parse_dataset_id
    MinariStorage = part("minari.dataset.minari_storage").MinariStorage
    namespaces = part("minari.namespace")
    get_dataset_path = part("minari.storage.datasets_root_dir").get_dataset_path

    from .. import envs as _registers_the_envs  # noqa: F401

    namespace = parse_dataset_id(dataset_id)[0]
    target = get_dataset_path(dataset_id)
    if os.path.exists(target):
        raise ValueError(f"a Minari dataset {dataset_id!r} already exists at {target}")
    source = os.path.normpath(os.fspath(parquet_path))
    files = _shard_files(source)
    if level == "placement" and _played_by_beam(files):
        raise ValueError(
            f"{source}: played by the 'beam' bot, whose placements are not move chains: "
            "convert it at the key level (level='keys')"
        )
    env_id, mode = LEVELS[level]
    env = gym.make(env_id)
    spec = env.spec
    observe = _Observer(mode)
    steps_of = _placement_steps if level == "placement" else _key_steps

    root = get_dataset_path()
    staging = os.path.join(root, f".corvelle-{os.getpid()}-{secrets.token_hex(4)}.tmp")
    try:
        os.mkdir(staging)
        storage = MinariStorage.new(
            os.path.join(staging, "data"),
            observation_space=env.observation_space,
            action_space=env.action_space,
            env_spec=spec,
            data_format=data_format,
        )
        metadata: Dict[str, Any] = {
            "dataset_id": dataset_id,
            "minari_version": importlib.metadata.version("minari"),
            "algorithm_name": f"corvelle datagen ({os.path.basename(source)})",
            "description": description
            or f"Bot-played games of corvelle_vim at the {level} level, from {source}",
        }
        if author is not None:
            metadata["author"] = {author}
        storage.update_metadata(metadata)
        buffers: List[Any] = []
        game_ids: List[Dict[str, int]] = []
        for game in _games(files):
            states, actions, rewards, terminated = steps_of(game)
            if not actions:
                continue
            obs, masks = observe(states)
            n = len(actions)
            buffers.append(
                EpisodeBuffer(
                    observations=obs,
                    actions=actions,
                    rewards=rewards,
                    terminations=[False] * (n - 1) + [terminated],
                    truncations=[False] * (n - 1) + [not terminated],
                    infos={"action_mask": masks},
                )
            )
            game_ids.append({"game_id": int(game["game_id"][0])})
            if len(buffers) == _EPISODES_PER_WRITE:
                storage.update_episodes(buffers)
                buffers.clear()
        if buffers:
            storage.update_episodes(buffers)
        storage.update_episode_metadata(game_ids, range(len(game_ids)))
        if namespace is not None and namespace not in namespaces.list_local_namespaces():
            namespaces.create_namespace(namespace)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.rename(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    finally:
        env.close()
    return minari.MinariDataset(os.path.join(target, "data"))
