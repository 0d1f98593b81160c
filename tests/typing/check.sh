#!/usr/bin/env bash
# Type-checks tests/typing against the installed module's stub package (corvelle_vim-stubs)
# with mypy and pyright, from a directory outside the source tree so that only the installed
# copy can be found: user_script.py must pass, and wrong_types.py must give errors on exactly
# its misuse lines (every line after the imports). Then checks the installed corvelle package
# with mypy --strict, and the stub against the built module with mypy's stubtest.
#
#   bash tests/typing/check.sh [PYTHON]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
python=${1:-python}
python_path=$(command -v "$python")
"$python" -m pip install --quiet --disable-pip-version-check mypy "pyright[nodejs]"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/user_script.py" "$here/wrong_types.py" "$work/"
cd "$work"
expected=$(grep -n -v -E '^(import |from |"""|$)' wrong_types.py | cut -d: -f1 | tr '\n' ' ')

# Compares the sorted line numbers of the errors in a checker's output with the expected ones.
check_errors() {
    local checker=$1 out=$2 got
    got=$(printf '%s\n' "$out" | sed -n -E 's/^.*wrong_types\.py:([0-9]+):.*error.*$/\1/p' \
        | sort -n -u | tr '\n' ' ')
    if [ "$got" != "$expected" ]; then
        printf '%s\n' "$out"
        echo "check.sh: $checker: expected errors on lines $expected; got ${got:-none}" >&2
        exit 1
    fi
    echo "$checker: wrong_types.py errors on lines $got as expected"
}

echo "mypy: user_script.py"
"$python" -m mypy --strict --no-incremental user_script.py
set +e
out=$("$python" -m mypy --no-incremental wrong_types.py 2>&1)
set -e
check_errors mypy "$out"

echo "pyright: user_script.py"
"$python" -m pyright --pythonpath "$python_path" user_script.py
set +e
out=$("$python" -m pyright --pythonpath "$python_path" wrong_types.py 2>&1)
set -e
check_errors pyright "$out"

echo "stubtest: the stub against the built module"
"$python" -m mypy.stubtest corvelle_vim

echo "mypy --strict: the corvelle package as installed"
"$python" -m mypy --strict --no-incremental -p corvelle
