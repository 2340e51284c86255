#!/usr/bin/env bash
# Lines of test code (tests/, fakes and helpers included) against the code they
# test (src/, comm/, include/, tools/, bench/, fuzz/): tracked C and C++ sources
# and headers, blank lines and whole-line // comments left out. The aim is at
# most 35 %.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
    git ls-files -z -- "$@" | grep -zE '\.(c|cc|cpp|cxx|h|hh|hpp)$' | xargs -0r cat |
        grep -cvE '^[[:space:]]*($|//)'
}
tests=$(count tests)
code=$(count src comm include tools bench fuzz)
echo "test lines: $tests"
echo "code lines: $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.1f %%\n", 100 * t / c }'
