"""scripts/test.sh on a machine that lacks what it needs: one clear line and an early stop,
before anything is installed or built."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "test.sh"
# What a machine without a C++ toolchain lacks.
HIDDEN = {"g++", "c++", "cmake", "ninja", "ninja-build"}


def bin_without_toolchain(tmp_path: Path) -> Path:
    """A PATH folder holding every command of the system folders except the C++ tools."""
    out = tmp_path / "bin"
    out.mkdir()
    for folder in ("/usr/local/bin", "/usr/bin", "/bin"):
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            if name in HIDDEN or "g++" in name or "c++" in name or os.path.lexists(out / name):
                continue
            (out / name).symlink_to(os.path.join(folder, name))
    return out


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_stops_at_once_with_one_line_naming_what_is_missing(tmp_path):
    path = bin_without_toolchain(tmp_path)
    env = {"PATH": str(path), "HOME": str(tmp_path), "CORVELLE_NO_INSTALL": "1",
           "PYTHON": sys.executable}
    proc = subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 1
    assert proc.stdout == ""  # nothing was installed, built or run
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("test.sh: missing g++")
    assert "apt-get install" in lines[0]


def test_a_missing_interpreter_is_named(tmp_path):
    env = {"PATH": os.environ["PATH"], "PYTHON": str(tmp_path / "no-python"),
           "CORVELLE_NO_INSTALL": "1"}
    proc = subprocess.run(["bash", str(SCRIPT)], env=env, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.strip().splitlines() == [
        f"test.sh: no Python interpreter '{tmp_path / 'no-python'}' (set PYTHON=/path/to/python)"
    ]


def test_build_folders_are_per_environment():
    text = SCRIPT.read_text()
    assert 'build-dir=$build_dir' in text and "sys.prefix" in text
    # A plain `pip install .` builds in a fresh temporary folder: no shared default.
    assert "build-dir" not in (ROOT / "pyproject.toml").read_text()
