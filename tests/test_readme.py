"""The README's first example runs as it stands and prints what it says."""

import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def test_ten_line_example_runs():
    section = re.search(r"^## Ten lines of Python.*?(?=^## )", README.read_text(), re.S | re.M)
    code = re.search(r"```python\n(.*?)```", section.group(0), re.S).group(1)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README example", "exec"), {"__name__": "__main__"})
    first = out.getvalue().splitlines()[0]
    assert first == "('Z', 0, (18, 3)) ['L', 'J', 'I', 'O', 'T']"
