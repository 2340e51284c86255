#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12 (run as root,
# or with sudo available). Skips apt entirely when everything is already there.
set -euo pipefail

PACKAGES=(build-essential cmake pkg-config g++-multilib clang libclang-rt-14-dev
          libjansson-dev libgtest-dev libgmock-dev libbenchmark-dev cpulimit gnuplot-nox valgrind
          xz-utils gzip coreutils python3
          libjansson-dev:i386 libgtest-dev:i386 libgmock-dev:i386)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
# A mirror may report a transient error for one list while the packages we need
# are still installable: retry, then judge by whether the install succeeds.
for attempt in 1 2 3; do
    if $SUDO apt-get update -q; then break; fi
    echo "apt-get update failed (attempt $attempt), retrying" >&2
    sleep 5
done
for attempt in 1 2 3; do
    if $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}"; then
        exit 0
    fi
    echo "apt-get install failed (attempt $attempt), retrying" >&2
    sleep 5
    $SUDO apt-get update -q || true
done
exit 1
