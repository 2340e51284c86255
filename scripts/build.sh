#!/usr/bin/env bash
# Configures and builds one configuration: plain (build/), asan (build-asan/),
# tsan (build-tsan/), i386 (build-i386/) or clang-tsa (build-clang-tsa/: clang's
# thread-safety analysis as errors; nothing to run).
set -euo pipefail
cd "$(dirname "$0")/.."
config=${1:-plain}
jobs=$(nproc)
case "$config" in
    plain) dir=build; args=() ;;
    asan)  dir=build-asan; args=(-DKVO_SANITIZE=address) ;;
    tsan)  dir=build-tsan; args=(-DKVO_SANITIZE=thread) ;;
    i386)  dir=build-i386; args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake) ;;
    clang-tsa) dir=build-clang-tsa; args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                   "-DCMAKE_CXX_FLAGS=-Wthread-safety -Wthread-safety-beta") ;;
    *) echo "usage: $0 [plain|asan|tsan|i386|clang-tsa]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DKVO_WERROR=ON "${args[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
