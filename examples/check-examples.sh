#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds and runs each linking
# example of the README against it: CMake package, pkg-config, plain -l, dlopen.
# Usage: examples/check-examples.sh BUILD_DIR [EXTRA_FLAGS] [TOOLCHAIN_FILE]
# EXTRA_FLAGS go to every compile and link (-m32, sanitizer flags of the build).
set -euo pipefail
build=$(cd "$1" && pwd)
extra=${2:-}
toolchain=${3:-}
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cc=${CC:-cc}

cmake --install "$build" --prefix "$prefix" >/dev/null

echo "-- CMake: find_package(kvo_vurizeda) and kvo::kvo_vurizeda"
args=(-DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra")
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$examples/cmake" -B "$work/cmake" "${args[@]}" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/host"

echo "-- pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046,SC2086
$cc $extra "$examples/host.c" -o "$work/pc-host" $(pkg-config --cflags --libs kvo_vurizeda)
"$work/pc-host"

echo "-- plain -l"
# shellcheck disable=SC2086
$cc $extra "$examples/host.c" -o "$work/l-host" -I"$prefix/include" -L"$prefix/lib" \
    -lkvo_vurizeda -Wl,-rpath,"$prefix/lib"
"$work/l-host"

echo "-- dlopen"
# shellcheck disable=SC2086
$cc $extra "$examples/dlopen_host.c" -o "$work/dl-host" -I"$prefix/include" -ldl
"$work/dl-host" "$prefix/lib/libkvo_vurizeda.so.1"
echo "all four examples built and ran against $prefix"
