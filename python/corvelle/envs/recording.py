"""Episodes written as replay files (`corvelle.replay`), to open in the viewer."""

from __future__ import annotations

import os
from typing import List, Optional, Union

from corvelle_vim import GameStatePy

from ..replay import Recorder

__all__ = ["EpisodeWriter"]

StrPath = Union[str, "os.PathLike[str]"]


class EpisodeWriter:
    """Writes each episode of one environment to `<directory>/<prefix>-<n>.cvr`, n = 000000,
    000001, ...

    An episode that ends by knockout is written with its GameOver segment when it ends; one
    left unfinished (a new reset, a time limit, `close`) is written as far as it got when it
    is left, provided it holds at least two actions, the least a replay file can play back.
    """

    def __init__(self, directory: StrPath, prefix: str = "episode") -> None:
        self.directory = os.fspath(directory)
        self.prefix = prefix
        self.paths: List[str] = []
        self._recorder: Optional[Recorder] = None
        os.makedirs(self.directory, exist_ok=True)

    @property
    def recorder(self) -> Optional[Recorder]:
        """The recorder of the running episode, if there is one."""
        return self._recorder

    def start(self, state: GameStatePy) -> None:
        """Leaves any running episode and starts recording the new game `state`."""
        self.leave()
        self._recorder = Recorder(state)

    def record(self, state: GameStatePy) -> None:
        """Records the state one action returned."""
        if self._recorder is not None:
            self._recorder.record(state)

    def game_over(self) -> None:
        """Ends the running episode by knockout and writes it."""
        if self._recorder is not None:
            self._recorder.finish()
            self._write(self._recorder)
            self._recorder = None

    def leave(self) -> None:
        """Writes the running episode unfinished, if it holds two actions or more."""
        if self._recorder is not None and self._recorder.actions >= 2:
            self._write(self._recorder)
        self._recorder = None

    def _write(self, recorder: Recorder) -> None:
        path = os.path.join(self.directory, f"{self.prefix}-{len(self.paths):06d}.cvr")
        recorder.save(path)
        self.paths.append(path)
