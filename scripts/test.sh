#!/usr/bin/env bash
# The whole test suite from a bare checkout: checks what the run needs and installs what is
# missing (Debian packages when run as root with apt-get, cmake and ninja from PyPI otherwise),
# or stops within seconds with one line saying what is missing; then installs the package with
# its test extras, builds and runs the engine's C++ tests, and runs the Python test suite
# against the installed module. Fails when any step fails or when pytest collects no test.
#
#   PYTHON              interpreter to install into and test with (default: python, else python3)
#   CORVELLE_CPP_BUILD  build directory of the C++ tests (default: one per interpreter)
#   CORVELLE_NO_INSTALL set to 1 to only check, never install system or PyPI tools
#
# Build directories are named after the interpreter's environment (a hash of sys.prefix), so
# runs from one checkout into several environments never share one.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD

die() {
    echo "test.sh: $*" >&2
    exit 1
}

# ---- What the run needs ------------------------------------------------------------------

python=${PYTHON:-}
if [ -z "$python" ]; then
    if command -v python > /dev/null 2>&1; then python=python; else python=python3; fi
fi
command -v "$python" > /dev/null 2>&1 || die "no Python interpreter '$python' (set PYTHON=/path/to/python)"
"$python" -c 'import sys; sys.exit(sys.version_info < (3, 9))' \
    || die "$python is older than Python 3.9"
"$python" -m pip --version > /dev/null 2>&1 \
    || die "$python has no pip (run '$python -m ensurepip', or apt-get install python3-pip)"
"$python" -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || py_headers_missing=1

env_tag=$("$python" -c 'import hashlib, sys; print(hashlib.sha256(sys.prefix.encode()).hexdigest()[:12])')
cpp_build=${CORVELLE_CPP_BUILD:-$repo/build/cpp-tests-$env_tag}
scripts_dir=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
export PATH="$scripts_dir:$PATH"

has_doctest() {
    local d
    for d in /usr /usr/local ${CMAKE_PREFIX_PATH:+${CMAKE_PREFIX_PATH//:/ }}; do
        if compgen -G "$d/lib/cmake/doctest/doctestConfig.cmake" > /dev/null \
            || compgen -G "$d/lib/*/cmake/doctest/doctestConfig.cmake" > /dev/null \
            || compgen -G "$d/share/doctest/doctestConfig.cmake" > /dev/null; then
            return 0
        fi
    done
    return 1
}

# Debian package names of what is missing; cmake and ninja may also come from PyPI.
missing=()
tools_from_pypi=()
command -v g++ > /dev/null 2>&1 || command -v c++ > /dev/null 2>&1 || missing+=(g++)
command -v cmake > /dev/null 2>&1 || { missing+=(cmake); tools_from_pypi+=(cmake); }
command -v ninja > /dev/null 2>&1 || { missing+=(ninja-build); tools_from_pypi+=(ninja); }
has_doctest || missing+=(doctest-dev)
[ -z "${py_headers_missing:-}" ] || missing+=(python3-dev)
# Chromium only serves the viewer tests, which skip without it: installed when we may.
optional=()
[ -x /usr/bin/chromium ] || optional+=(chromium)

can_apt=
if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null 2>&1 && [ "${CORVELLE_NO_INSTALL:-}" != 1 ]; then
    can_apt=1
fi

if [ ${#missing[@]} -gt 0 ] || { [ -n "$can_apt" ] && [ ${#optional[@]} -gt 0 ]; }; then
    if [ -n "$can_apt" ]; then
        echo "== system packages: ${missing[*]} ${optional[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq > /dev/null
        apt-get install -y -qq "${missing[@]}" > /dev/null
        if [ ${#optional[@]} -gt 0 ]; then
            apt-get install -y -qq "${optional[@]}" > /dev/null \
                || echo "test.sh: could not install ${optional[*]}; the viewer tests will be skipped" >&2
        fi
    else
        # Without apt: cmake and ninja from PyPI; the rest cannot be installed from here.
        rest=()
        for pkg in "${missing[@]}"; do
            case $pkg in cmake | ninja-build) ;; *) rest+=("$pkg") ;; esac
        done
        if [ ${#rest[@]} -gt 0 ]; then
            die "missing ${rest[*]} (Debian: apt-get install ${missing[*]}; run as root to let this script install them)"
        fi
        if [ ${#tools_from_pypi[@]} -gt 0 ]; then
            [ "${CORVELLE_NO_INSTALL:-}" != 1 ] || die "missing ${tools_from_pypi[*]} (pip install ${tools_from_pypi[*]})"
            echo "== build tools from PyPI: ${tools_from_pypi[*]}"
            "$python" -m pip install --quiet --disable-pip-version-check "${tools_from_pypi[@]}"
        fi
    fi
fi

# ---- Install, build, test ----------------------------------------------------------------

build_dir="build/{wheel_tag}-$env_tag"
# torch pinned to the one version whose CPU build pip finds beside the index here; the rl
# extra's sb3-contrib then keeps it.
echo "== install: $python -m pip install torch==2.13.0"
"$python" -m pip install --quiet --disable-pip-version-check "torch==2.13.0"
echo "== install: $python -m pip install .[test,cli,viewer-test,gym,data,minari,rl] (build dir $build_dir)"
"$python" -m pip install --quiet --disable-pip-version-check -C "build-dir=$build_dir" \
    ".[test,cli,viewer-test,gym,data,minari,rl]"

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
