#!/usr/bin/env bash
# Builds and runs the whole test suite in the four configurations: plain 64-bit,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and 32-bit;
# builds with clang's thread-safety analysis as errors (clang-tsa, one test);
# then runs each libFuzzer target for a bounded time (scripts/fuzz.sh), and builds
# the Debian packages, installs them, builds a host against them and removes them
# (scripts/package-test.sh; needs root or sudo).
# Tests that measure real CPU shares (label "live") run in the plain and 32-bit
# configurations only; the 60-second stress run (label "stress60") in the two
# sanitizer configurations only. Usage: scripts/test.sh [config...]
# Opt-in, not in the default list: memcheck runs the plain build's unit tests under
# valgrind (live and stress runs left out, and the ones too slow there); a leak in
# the test process or any memory error fails the test. About ten to fifteen minutes
# on two busy processors, most of it valgrind starting once per test.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
# Only checks when everything is there; apt runs only for a missing package.
./scripts/install-deps.sh
configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(plain asan tsan i386 clang-tsa fuzz package)
# Seconds per fuzz target: four targets stay well inside three minutes with the build.
fuzz_seconds=${KVO_FUZZ_SECONDS:-20}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
memcheck_options="--error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite"
memcheck_options+=" --child-silent-after-fork=yes --fair-sched=yes --num-callers=30"
memcheck_options+=" --suppressions=$PWD/tests/valgrind.supp"
# Left out: 50 rounds of eight threads at a barrier take minutes under valgrind's
# one-at-a-time threads (ThreadSanitizer covers that test); and the tests whose
# forked children end on purpose with threads and allocations outstanding, which
# valgrind counts as leaks with its error exit code in the child as well; and the
# load/unload cycles, which judge resident memory that valgrind's own records grow.
memcheck_skip='^(AutoCpuJoins\.ThreadsJoiningAtOnce|Fork\.|CommLibrary\.OnlyOurUidsAreDelivered'
memcheck_skip+='|controller_dlopen_cycles$)'
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp}

failed=()
summary=$(mktemp)
for config in "${configs[@]}"; do
    if [ "$config" = fuzz ]; then
        echo "==== fuzz: ${fuzz_seconds}s per target ===="
        # The bounded fuzz runs count as one test.
        if ./scripts/fuzz.sh "$fuzz_seconds"; then echo "0 1" >> "$summary"; else
            failed+=(fuzz); echo "1 1" >> "$summary"; fi
        continue
    fi
    if [ "$config" = package ]; then
        echo "==== package: build, install, use, remove ===="
        if ./scripts/package-test.sh; then echo "0 1" >> "$summary"; else
            failed+=(package); echo "1 1" >> "$summary"; fi
        continue
    fi
    if [ "$config" = clang-tsa ]; then
        echo "==== clang-tsa: build with -Wthread-safety -Werror ===="
        # Nothing to run: the build that passes the analysis counts as one test.
        if ./scripts/build.sh clang-tsa; then echo "0 1" >> "$summary"; else
            failed+=(clang-tsa); echo "1 1" >> "$summary"; fi
        continue
    fi
    echo "==== $config: build ===="
    build=$config
    [ "$config" = memcheck ] && build=plain  # valgrind runs the plain build
    if ! ./scripts/build.sh "$build"; then
        failed+=("$config(build)")
        echo "1 1" >> "$summary"  # a build that fails counts as one failed test
        continue
    fi
    case "$config" in
        plain) dir=build; sel=(-LE stress60) ;;
        asan)  dir=build-asan; sel=(-LE live) ;;
        tsan)  dir=build-tsan; sel=(-LE live) ;;
        i386)  dir=build-i386; sel=(-LE stress60) ;;
        memcheck) dir=build; sel=(-T memcheck -LE 'live|stress' -E "$memcheck_skip"
            --overwrite "MemoryCheckCommand=$(command -v valgrind)"
            --overwrite "MemoryCheckCommandOptions=$memcheck_options" --timeout 600) ;;
    esac
    echo "==== $config: test ===="
    if ! (cd "$dir" && ctest --output-on-failure -j "$(kvo_jobs)" "${sel[@]}") | tee "$summary.one"; then
        failed+=("$config")
    fi
    # ctest's closing line: "NN% tests passed, F tests failed out of T".
    sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' \
        "$summary.one" >> "$summary"
done
read -r failed_tests total_tests < <(awk '{f += $1; t += $2} END {print f + 0, t + 0}' "$summary")
rm -f "$summary" "$summary.one"
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED configurations: ${failed[*]}"
fi
echo "tests: $((total_tests - failed_tests)) passed, $failed_tests failed"
[ ${#failed[@]} -eq 0 ]
