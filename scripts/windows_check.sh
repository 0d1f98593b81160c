#!/usr/bin/env bash
# Checks the Windows code paths without a Windows machine: cross-compiles the engine and its
# C++ tests for 64-bit Windows with MinGW-w64, runs the tests under Wine, and compiles the
# two extension modules' sources for the same target (syntax and types only: the Windows
# Python library to link against is not available here).
#
#   CORVELLE_WINDOWS_CHECK   build folder (default: build/windows-check)
#
# Needs Debian's g++-mingw-w64-x86-64-posix and wine (installed here when apt-get is
# available and they are missing).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
work=${CORVELLE_WINDOWS_CHECK:-$repo/build/windows-check}
cxx=x86_64-w64-mingw32-g++-posix

if ! command -v "$cxx" > /dev/null || ! command -v wine > /dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq g++-mingw-w64-x86-64-posix wine wine64 > /dev/null
    else
        echo "windows_check.sh: needs $cxx and wine (Debian: g++-mingw-w64-x86-64-posix wine64)" >&2
        exit 1
    fi
fi

echo "== cross build of the engine tests"
cmake -S "$repo" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
    -DCORVELLE_MODULE=OFF -DCORVELLE_CPP_TESTS=ON > /dev/null
cmake --build "$work"

echo "== engine tests under Wine"
export WINEDEBUG=-all WINEPREFIX=$work/wine
wine "$work/tests/cpp/engine_tests.exe"

echo "== extension module sources for Windows"
# The interpreter's headers with a pyconfig.h that claims no POSIX headers and Windows
# threads, as the Windows one does.
py_include=$(python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
rm -rf "$work/python-include"
cp -r "$py_include" "$work/python-include"
sed -i -E 's/^#define (HAVE_SYS_[A-Z_]+_H|HAVE_UNISTD_H|HAVE_PTHREAD_H|HAVE_SIGNAL_H|HAVE_LANGINFO_H|HAVE_DLFCN_H|HAVE_FCNTL_H|HAVE_TERMIOS_H|HAVE_PTHREAD_STUBS|_POSIX_THREADS|HAVE_FORK)\b.*//' \
    "$work/python-include/pyconfig.h"
echo '#define NT_THREADS 1' >> "$work/python-include/pyconfig.h"
for src in "$repo"/binding/*.cpp "$repo"/batch/*.cpp; do
    "$cxx" -fsyntax-only -std=c++20 -Wall -Wextra -Werror -I"$work/python-include" \
        -I"$repo/game/src" -I"$repo/binding" -I"$repo/batch" "$src"
done
echo "windows check passed"
