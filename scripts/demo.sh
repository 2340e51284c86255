#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the demonstration.
# Extra arguments go to kvo-demo (see build/bin/kvo-demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh plain
exec ./build/bin/kvo-demo "$@"
