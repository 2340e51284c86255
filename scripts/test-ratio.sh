#!/usr/bin/env bash
# Non-blank lines of test code (tests/, fakes and helpers included) against the
# code they test (src/, comm/, include/, tools/, bench/, fuzz/): C and C++
# sources and headers only. The aim is at most 35 %.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
    find "$@" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' \
        -o -name '*.hpp' \) -print0 | xargs -0 cat | grep -cv '^[[:space:]]*$'
}
tests=$(count tests)
code=$(count src comm include tools bench fuzz)
echo "test lines: $tests"
echo "code lines: $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.1f %%\n", 100 * t / c }'
