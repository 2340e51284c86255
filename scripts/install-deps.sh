#!/usr/bin/env bash
# Installs the Debian 12 packages a task needs, and only when one is missing:
#   scripts/install-deps.sh [--check] [build|all]
# "build" is what building the library and its programs needs (the demo);
# "all" (the default) adds the tests, the 32-bit build, fuzzing and the benchmark.
# Packages are checked per architecture (dpkg-query name:arch), so amd64 and
# i386 copies side by side are told apart. Without root and without sudo it
# prints the command to run and fails; --check only reports (status 1: missing).
set -euo pipefail

check_only=0
set_name=all
for arg in "$@"; do
    case "$arg" in
        --check) check_only=1 ;;
        build|all) set_name=$arg ;;
        -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "install-deps.sh: unknown argument '$arg' (use --check, build or all)" >&2; exit 2 ;;
    esac
done

BUILD_PACKAGES=(build-essential cmake pkg-config libjansson-dev)
ALL_PACKAGES=("${BUILD_PACKAGES[@]}" g++-multilib clang libclang-rt-14-dev
              libgtest-dev libgmock-dev libbenchmark-dev cpulimit gnuplot-nox valgrind
              dpkg-dev fakeroot file xz-utils gzip coreutils python3
              libjansson-dev:i386 libgtest-dev:i386 libgmock-dev:i386)
if [ "$set_name" = build ]; then packages=("${BUILD_PACKAGES[@]}"); else packages=("${ALL_PACKAGES[@]}"); fi

native=$(dpkg --print-architecture)

# Installed as asked: a name without ":arch" is the native package, or an
# architecture-independent one.
installed() {
    local name=$1 status
    if [[ $name == *:* ]]; then
        status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null) || true
    else
        status=$(dpkg-query -W -f='${Status}' "$name:$native" 2>/dev/null) ||
            status=$(dpkg-query -W -f='${Status}' "$name:all" 2>/dev/null) || true
    fi
    [ "$status" = "install ok installed" ]
}

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

need_i386=0
for p in "${missing[@]}"; do [[ $p == *:i386 ]] && need_i386=1; done
add_arch=0
if [ $need_i386 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then add_arch=1; fi

command_text="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
[ $add_arch = 1 ] && command_text="dpkg --add-architecture i386 && $command_text"

if [ $check_only = 1 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "install them (as root): $command_text" >&2
    exit 1
fi

SUDO=()
if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "missing packages: ${missing[*]}" >&2
        echo "not root and no sudo: ask an administrator to run" >&2
        echo "  $command_text" >&2
        exit 1
    fi
    SUDO=(sudo)
fi

echo "installing: ${missing[*]}"
[ $add_arch = 1 ] && "${SUDO[@]}" dpkg --add-architecture i386
# A mirror may report a transient error for one list while the packages we need
# are still installable: retry, then judge by whether the install succeeds.
for attempt in 1 2 3; do
    if "${SUDO[@]}" apt-get update -q; then break; fi
    echo "apt-get update failed (attempt $attempt), retrying" >&2
    sleep 5
done
for attempt in 1 2 3; do
    if "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends "${missing[@]}"; then
        exit 0
    fi
    echo "apt-get install failed (attempt $attempt), retrying" >&2
    sleep 5
    "${SUDO[@]}" apt-get update -q || true
done
exit 1
