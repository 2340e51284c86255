#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time (default 30 s) from its seed corpus in fuzz/corpus/<target>/.
# Fails when a target crashes or breaks a property; the input that did it is
# left in build-fuzz/fuzz/artifacts/. Usage: scripts/fuzz.sh [seconds] [target...]
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(ini collector procstat devmon)

dir=build-fuzz
if ! CC=clang CXX=clang++ cmake -S . -B "$dir" -DKVO_BUILD_FUZZ=ON -DKVO_BUILD_TESTS=OFF \
        -DKVO_WERROR=ON >/dev/null; then
    echo "fuzz: configure failed" >&2
    exit 1
fi
if ! cmake --build "$dir" -j "$(kvo_jobs)" --target "${targets[@]/#/fuzz_}"; then
    echo "fuzz: build failed" >&2
    exit 1
fi

# Logging is quieted inside the targets; findings go to artifacts/, and what the
# fuzzer learns goes to a scratch corpus so the seeds in the repository stay small.
mkdir -p "$dir/fuzz/artifacts"
failed=()
for target in "${targets[@]}"; do
    work="$dir/fuzz/work/$target"
    mkdir -p "$work"
    echo "==== fuzz_$target: ${seconds}s ===="
    if ! "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$dir/fuzz/artifacts/$target-" \
            "$work" "fuzz/corpus/$target" 2>"$dir/fuzz/$target.log"; then
        tail -n 40 "$dir/fuzz/$target.log"
        failed+=("$target")
        continue
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added)' "$dir/fuzz/$target.log"
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: FAILED targets: ${failed[*]}"
    exit 1
fi
echo "fuzz: all targets ran ${seconds}s clean: ${targets[*]}"
