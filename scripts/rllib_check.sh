#!/usr/bin/env bash
# Runs the RLlib tests (the masked env under Gymnasium's checker, the RLlib PPO example) in a
# venv of their own: RLlib pins its own Gymnasium release, which the main test environment
# does not use. Installs the wheel that scripts/wheel_check.sh repaired when there is one
# (no compiler needed), or else builds this checkout.
#
#   PYTHON                 interpreter to base the venv on (default: python)
#   CORVELLE_RLLIB_CHECK   work folder (default: build/rllib-check)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
python=$(command -v "${PYTHON:-python}")
work=${CORVELLE_RLLIB_CHECK:-$repo/build/rllib-check}
rm -rf "$work/venv"
mkdir -p "$work"
"$python" -m venv "$work/venv"
venv_python=$work/venv/bin/python
wheel=$(ls "$repo"/build/wheel-check-*/wheelhouse/corvelle_vim-*.whl 2>/dev/null | head -n 1 || true)
target=${wheel:-$repo}
echo "== install torch==2.13.0, then $target with the rllib and test extras"
"$venv_python" -m pip install --quiet --disable-pip-version-check "torch==2.13.0"
"$venv_python" -m pip install --quiet --disable-pip-version-check \
    -C "build-dir=build/rllib-{wheel_tag}" "$target[rllib,test]"
echo "== RLlib tests"
cd "$repo"
"$venv_python" -m pytest -q -p no:cacheprovider tests/examples/test_rl_examples.py -k rllib \
    -W ignore::DeprecationWarning
