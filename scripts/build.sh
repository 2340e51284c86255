#!/usr/bin/env bash
# Configures and builds one configuration: plain (build/), asan (build-asan/),
# tsan (build-tsan/) or i386 (build-i386/).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
config=${1:-plain}
jobs=$(kvo_jobs)
case "$config" in
    plain) dir=build; args=() ;;
    asan)  dir=build-asan; args=(-DKVO_SANITIZE=address) ;;
    tsan)  dir=build-tsan; args=(-DKVO_SANITIZE=thread) ;;
    i386)  dir=build-i386; args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake) ;;
    *) echo "usage: $0 [plain|asan|tsan|i386]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DKVO_WERROR=ON "${args[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
