"""Everyday tools for the corvelle_vim engine.

- `corvelle.replay`: `Recorder` collects a game's replay stream while it is played; `load`
  plays a replay file back through the engine.
- `corvelle.bytestate`: `decode` reads a state's fields (board cell codes, pieces, counters)
  from its byte form.
- `corvelle.placements(state)`: every placement of the falling piece (tucks, spins, hold)
  with its shortest key path and, when read, the state it leads to (`corvelle.placement`).
- `corvelle.bots`: `Beam`, the beam search bot: every placement with hold through the preview,
  a strong player, teacher and opponent (`corvelle.Beam`).
- `corvelle.fumen`: board diagrams (fumen v115 text) written from states and read back.
- `corvelle.viewer`: `write` makes a self-contained HTML page that steps through a game.
- `corvelle.envs`: Gymnasium environments on the engine (extra `gym`).
- `corvelle.datagen`: bot-played datasets written as Parquet, in parallel on Ray (extra `data`).
- `corvelle.tbp`: the field's bot protocol both ways (`corvelle tbp` runs a bot; `Frontend`
  plays any protocol bot in the engine).
- `corvelle.cli`: the `corvelle` command (`corvelle play`, `corvelle replay`, `corvelle datagen`,
  `corvelle versus`, `corvelle tbp`).
"""

from .bots import Beam
from .bytestate import DecodedState, decode
from .placement import Placement, placements
from .replay import Recorder, load, load_bytes

__all__ = [
    "Beam",
    "DecodedState",
    "Placement",
    "Recorder",
    "decode",
    "load",
    "load_bytes",
    "placements",
]
