#!/usr/bin/env bash
# Builds the Debian packages (build-package/, cpack), installs them with dpkg -i,
# checks the installation (configuration link and conffile, kvo-config show, a
# limit by name read through the link), builds and runs a host against the
# installed package with pkg-config and with CMake, and removes and purges them.
# Needs root or sudo; refuses to touch packages of these names already installed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

SUDO=()
if [ "$(id -u)" != 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "package-test: needs root or sudo to install packages" >&2
        exit 1
    fi
    SUDO=(sudo)
fi
packages=(kvo-vurizeda-dev kvo-vurizeda)
for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
        echo "package-test: $p is installed on this machine already; not touching it" >&2
        exit 1
    fi
done

dir=build-package
prefix=/opt/kvo_vurizeda
cmake -S . -B "$dir" -DKVO_BUILD_TESTS=OFF -DKVO_PACKAGE_LAYOUT=ON -DKVO_WERROR=ON \
    -DKVO_PACKAGE_PREFIX="$prefix" >/dev/null
cmake --build "$dir" -j "$(kvo_jobs)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/kvo-vurizeda_*.deb "$dir"/kvo-vurizeda-dev_*.deb)
ls -l "${debs[@]}"

work=$(mktemp -d)
cleanup() {
    "${SUDO[@]}" dpkg -P "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

"${SUDO[@]}" dpkg -i "${debs[@]}"
conf=/etc/kvo_vurizeda/kvo_vurizeda.ini
dpkg-query -W -f='${Conffiles}\n' kvo-vurizeda | grep -q "$conf" || fail "$conf is not a conffile"
[ "$(readlink "$prefix/config/kvo_vurizeda.ini")" = "$conf" ] || fail "config link"

echo "-- kvo-config show (through /usr/bin)"
kvo-config --version
kvo-config show > "$work/show" || fail "kvo-config show: status $?"
grep -q "^file: $prefix/config/kvo_vurizeda.ini" "$work/show" || fail "kvo-config read $(head -1 "$work/show")"

echo "-- a limit by name, read by the installed library through the link"
kvo-demo --from-config kvo-demo-worker --threads 1 --seconds 2 || fail "limit by name"

echo "-- hosts against the installed package, with no search paths set"
unset PKG_CONFIG_PATH CMAKE_PREFIX_PATH
# shellcheck disable=SC2046
cc examples/host.c -o "$work/pc-host" $(pkg-config --cflags --libs kvo_vurizeda)
"$work/pc-host"
cmake -S examples/cmake -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/host"
cc examples/dlopen_host.c -o "$work/dl-host" -I"$prefix/include" -ldl
"$work/dl-host" "$prefix/lib/libkvo_vurizeda.so.1"

echo "-- remove keeps the edited configuration, purge takes it"
echo "# edited by the administrator" | "${SUDO[@]}" tee -a "$conf" >/dev/null
"${SUDO[@]}" dpkg -r "${packages[@]}"
[ -e "$prefix/lib/libkvo_vurizeda.so.1" ] && fail "library left after remove"
grep -q "edited by the administrator" "$conf" || fail "remove lost the edited conffile"
"${SUDO[@]}" dpkg -P "${packages[@]}"
[ -e "$conf" ] && fail "purge left $conf"
echo "package-test: packages built, installed, used, removed and purged"
