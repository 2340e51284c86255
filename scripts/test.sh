#!/usr/bin/env bash
# Builds and runs the whole test suite in the four configurations: plain 64-bit,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and 32-bit;
# then, as a fifth, runs each libFuzzer target for a bounded time (scripts/fuzz.sh).
# Tests that measure real CPU shares (label "live") run in the plain and 32-bit
# configurations only. Usage: scripts/test.sh [config...]
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(plain asan tsan i386 fuzz)
# Seconds per fuzz target: four targets stay well inside three minutes with the build.
fuzz_seconds=${KVO_FUZZ_SECONDS:-20}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp}

failed=()
for config in "${configs[@]}"; do
    if [ "$config" = fuzz ]; then
        echo "==== fuzz: ${fuzz_seconds}s per target ===="
        ./scripts/fuzz.sh "$fuzz_seconds" || failed+=(fuzz)
        continue
    fi
    echo "==== $config: build ===="
    if ! ./scripts/build.sh "$config"; then failed+=("$config(build)"); continue; fi
    case "$config" in
        plain) dir=build; sel=() ;;
        asan)  dir=build-asan; sel=(-LE live) ;;
        tsan)  dir=build-tsan; sel=(-LE live) ;;
        i386)  dir=build-i386; sel=() ;;
    esac
    echo "==== $config: test ===="
    if ! (cd "$dir" && ctest --output-on-failure -j 2 "${sel[@]}"); then
        failed+=("$config")
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED configurations: ${failed[*]}"
    exit 1
fi
echo "all configurations passed: ${configs[*]}"
