"""The Python snippets of the README's reinforcement-learning section run as they stand."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import contextlib
import io
import pathlib
import re

DOC = pathlib.Path(__file__).resolve().parents[2] / "README.md"
SECTION = re.search(
    r"^## Reinforcement learning.*?(?=^## )", DOC.read_text(encoding="utf-8"), re.S | re.M
).group(0)
SNIPPETS = re.findall(r"```python\n(.*?)```", SECTION, re.S)


def test_the_page_has_snippets():
    assert len(SNIPPETS) >= 2


@pytest.mark.parametrize("index", range(len(SNIPPETS)))
def test_snippet_runs(index):
    if "sb3_contrib" in SNIPPETS[index]:
        pytest.importorskip("torch", reason="torch is not installed (the rl extra)")
        pytest.importorskip("sb3_contrib", reason="sb3-contrib is not installed (the rl extra)")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(
            compile(SNIPPETS[index], f"{DOC.name} snippet {index}", "exec"),
            {"__name__": "__main__"},
        )
    assert out.getvalue()
