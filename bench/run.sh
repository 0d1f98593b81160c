#!/usr/bin/env bash
# Runs the whole benchmark suite and prints one table: name, median, unit, target, mark.
#
#     bash bench/run.sh [--quick]
#
# Builds the engine benchmarks in build/bench (CMake, -DCORVELLE_BENCH=ON, no Python module;
# needs Google Benchmark and zlib: Debian libbenchmark-dev, zlib1g-dev), installs pyperf for
# $PYTHON when it is missing, runs bench/engine_bench and bench/python_bench.py against the
# corvelle_vim installed for $PYTHON (default: python), then bench/envs_bench.py when it
# exists. The table also goes to bench/results/latest.md; the raw results stay beside it.
# --quick takes fewer repetitions and worker processes (about a minute once built).
#
# Environment: PYTHON (interpreter), CORVELLE_BENCH_BUILD (build directory).
set -euo pipefail

usage() { sed -n '2,13s/^# \{0,1\}//p' "$0"; }

quick=0
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        -h | --help) usage; exit 0 ;;
        *) echo "run.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
    esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
PYTHON=${PYTHON:-python}
build=${CORVELLE_BENCH_BUILD:-build/bench}
results=bench/results
mkdir -p "$results"
step() { echo "== $*" >&2; }

if ((quick)); then
    mode=quick
    engine_args=(--benchmark_repetitions=5 --benchmark_min_time=0.05)
    pyperf_args=(--processes=4 --values=3 --warmups=1 --min-time=0.05)
else
    mode=full
    engine_args=(--benchmark_repetitions=10 --benchmark_min_time=0.1)
    pyperf_args=()
fi
# The repetitions of all engine benchmarks run in a random order, so that a spell of load from
# elsewhere on the machine moves a few repetitions of many medians rather than all of a few.
engine_args+=(--benchmark_enable_random_interleaving=true)

step "building the engine benchmarks in $build"
generator=()
if [[ ! -f "$build/CMakeCache.txt" ]] && command -v ninja > /dev/null; then
    generator=(-G Ninja)
fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCORVELLE_MODULE=OFF -DCORVELLE_BENCH=ON > "$results/build.log" 2>&1 &&
    cmake --build "$build" --target engine_bench -j 2 >> "$results/build.log" 2>&1 || {
    tail -n 30 "$results/build.log" >&2
    echo "run.sh: the build failed (log: $results/build.log)" >&2
    exit 1
}

if ! "$PYTHON" -c "import corvelle_vim" 2> /dev/null; then
    echo "run.sh: corvelle_vim is not importable by $PYTHON; install it first (pip install .)" >&2
    exit 1
fi
if ! "$PYTHON" -c "import pyperf" 2> /dev/null; then
    step "installing pyperf"
    "$PYTHON" -m pip install -q pyperf
fi

step "checking that both suites build the same input states"
if ! cmp -s <("$build/bench/engine_bench" --print_inputs) \
        <("$PYTHON" bench/game_scripts.py --print-inputs); then
    echo "run.sh: the engine and the module build different states from bench/inputs/" \
        "(is the installed corvelle_vim older than the engine source?)" >&2
    exit 1
fi

step "engine benchmarks ($mode)"
"$build/bench/engine_bench" "${engine_args[@]}" --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/engine.json" --benchmark_out_format=json \
    > "$results/engine.txt" 2>&1 || {
    tail -n 30 "$results/engine.txt" >&2
    echo "run.sh: bench/engine_bench failed (output: $results/engine.txt)" >&2
    exit 1
}

step "Python benchmarks ($mode)"
rm -f "$results/python.json"
"$PYTHON" bench/python_bench.py "${pyperf_args[@]}" --quiet -o "$results/python.json" \
    > "$results/python.txt" 2>&1 || {
    tail -n 30 "$results/python.txt" >&2
    echo "run.sh: bench/python_bench.py failed (output: $results/python.txt)" >&2
    exit 1
}

# bench/envs_bench.py (the environments' throughput) is its own program; its output is shown
# after the table. Quick runs pass --quick, or shorter timings, when it takes them.
envs=()
if [[ -f bench/envs_bench.py ]]; then
    step "bench/envs_bench.py"
    envs_args=()
    if ((quick)); then
        envs_help=$("$PYTHON" bench/envs_bench.py --help 2> /dev/null || true)
        if [[ $envs_help == *--quick* ]]; then
            envs_args=(--quick)
        else
            for opt in --seconds --sync-seconds; do
                [[ $envs_help == *"$opt"* ]] && envs_args+=("$opt" 0.5)
            done
            [[ $envs_help == *--repeats* ]] && envs_args+=(--repeats 3)
        fi
    fi
    if "$PYTHON" bench/envs_bench.py "${envs_args[@]}" > "$results/envs.txt" 2>&1; then
        envs=(--envs "$results/envs.txt")
    else
        echo "run.sh: bench/envs_bench.py failed (output: $results/envs.txt)" >&2
        envs=(--envs "$results/envs.txt" --envs-failed)
    fi
fi

"$PYTHON" bench/report.py --engine "$results/engine.json" --python "$results/python.json" \
    "${envs[@]}" --mode "$mode" --out "$results/latest.md"
