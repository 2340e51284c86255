#!/usr/bin/env bash
# Builds what the demonstration runs (the library, the comm library and kvo-demo,
# in build-demo/, without the test suite) and runs it. Installs missing build
# packages first, or says which to install when it cannot.
# Extra arguments go to kvo-demo (see build-demo/bin/kvo-demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
./scripts/install-deps.sh build
dir=build-demo
cmake -S . -B "$dir" -DKVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(kvo_jobs)" --target kvo-demo kvo_comm
exec "./$dir/bin/kvo-demo" "$@"
