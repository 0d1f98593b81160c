#!/usr/bin/env bash
# Installs the package with its test extras, builds and runs the engine's C++ tests, then runs
# the Python test suite against the installed module. Fails when any step fails or when pytest
# collects no test.
#
#   PYTHON              interpreter to install into and test with (default: python)
#   CORVELLE_CPP_BUILD  build directory of the C++ tests (default: build/cpp-tests)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
python=${PYTHON:-python}
cpp_build=${CORVELLE_CPP_BUILD:-$repo/build/cpp-tests}

echo "== install: $python -m pip install .[test,cli,viewer-test,gym,data]"
"$python" -m pip install --quiet --disable-pip-version-check ".[test,cli,viewer-test,gym,data]"

echo "== C++ engine tests: $cpp_build"
cmake -S "$repo" -B "$cpp_build" -G Ninja -DCORVELLE_MODULE=OFF -DCORVELLE_CPP_TESTS=ON
cmake --build "$cpp_build"
ctest --test-dir "$cpp_build" --output-on-failure

echo "== Python tests"
status=0
CORVELLE_CPP_BUILD=$cpp_build "$python" -m pytest -q || status=$?
if [ "$status" -eq 5 ]; then
    echo "test.sh: pytest collected no test" >&2
    exit 1
fi
exit "$status"
