"""Episodes written as replay files (`corvelle.replay`), to open in the viewer."""

from __future__ import annotations

import os
import warnings
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

    Files are written whole (a temporary name renamed once complete). A file that cannot be
    written (a full disk) is not fatal: a RuntimeWarning names it, the methods that write
    return False, and the environment goes on.
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

    def start(self, state: GameStatePy) -> bool:
        """Leaves any running episode and starts recording the new game `state`; False when
        the left episode could not be written."""
        written = self.leave()
        self._recorder = Recorder(state)
        return written

    def record(self, state: GameStatePy) -> None:
        """Records the state one action returned."""
        if self._recorder is not None:
            self._recorder.record(state)

    def game_over(self) -> bool:
        """Ends the running episode by knockout and writes it; False when it could not be
        written."""
        recorder, self._recorder = self._recorder, None
        if recorder is None:
            return True
        recorder.finish()
        return self._write(recorder)

    def leave(self) -> bool:
        """Writes the running episode unfinished, if it holds two actions or more; False when
        it could not be written."""
        recorder, self._recorder = self._recorder, None
        if recorder is None or recorder.actions < 2:
            return True
        return self._write(recorder)

    def _write(self, recorder: Recorder) -> bool:
        path = os.path.join(self.directory, f"{self.prefix}-{len(self.paths):06d}.cvr")
        try:
            recorder.save(path)
        except OSError as e:
            warnings.warn(
                f"episode replay not written to {path}: {e.strerror or e}", RuntimeWarning, 2
            )
            return False
        self.paths.append(path)
        return True
