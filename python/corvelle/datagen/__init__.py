"""Datasets of bot-played games: (state, action, next state) rows in Parquet shards.

    from corvelle.datagen import generate
    result = generate("data/", games=1000, bot="wordpress", seed=bytes(32), max_pieces=200,
                      workers=4)

writes `data/part-00000.parquet`, ... and `data/manifest.json`. Every game is derived from the
master seed and its game number, and the bot's choices are repeatable (`corvelle.datagen._play`
explains how), so the same arguments give the same rows whatever the number of workers. The
shards are read with `pyarrow.parquet.read_table` or `pandas.read_parquet`; `FIELDS` describes
each column. Needs the `data` extra (`pip install corvelle-vim[data]`: pyarrow, and Ray for
more than one worker). `to_minari` converts a dataset into a Minari dataset for offline RL
(`corvelle.datagen._minari` explains the episodes; needs minari).
"""

from ._minari import LEVELS, to_minari
from ._play import BOTS, CHAINS, chain_mask, game_seed
from ._run import (
    DEFAULT_GAMES_PER_SHARD,
    DEFAULT_MAX_PIECES,
    DEFAULT_RAY_TIMEOUT,
    MANIFEST,
    DatagenResult,
    FailedShard,
    ShardInfo,
    ShardsFailedError,
    generate,
    read_manifest,
    require_ray,
    shard_name,
)
from ._shards import FIELDS, FORMAT, FORMAT_VERSION, FaultPlan, MissingExtraError, arrow_schema

__all__ = [
    "BOTS",
    "CHAINS",
    "DEFAULT_GAMES_PER_SHARD",
    "DEFAULT_MAX_PIECES",
    "DEFAULT_RAY_TIMEOUT",
    "FIELDS",
    "LEVELS",
    "FORMAT",
    "FORMAT_VERSION",
    "MANIFEST",
    "DatagenResult",
    "FailedShard",
    "FaultPlan",
    "MissingExtraError",
    "ShardInfo",
    "ShardsFailedError",
    "arrow_schema",
    "chain_mask",
    "game_seed",
    "generate",
    "read_manifest",
    "require_ray",
    "shard_name",
    "to_minari",
]
