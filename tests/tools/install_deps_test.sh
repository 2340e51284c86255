#!/usr/bin/env bash
# scripts/install-deps.sh against a fake dpkg: packages are asked for per
# architecture, nothing is installed when nothing is missing, and a user without
# root or sudo gets the command to run, without apt being tried.
set -uo pipefail
script=$1
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
# dpkg-query -W -f=... NAME:ARCH: installed unless NAME:ARCH is in $FAKE_MISSING;
# an unqualified name is ambiguous, as on a machine with amd64 and i386 copies.
cat > "$fake/dpkg-query" <<'FAKE'
#!/bin/bash
name=${!#}
[[ $name == *:* ]] || { echo "ambiguous package name '$name'" >&2; exit 2; }
for m in $FAKE_MISSING; do [ "$m" = "$name" ] && exit 1; done
[[ $name == *:all ]] && exit 1
printf 'install ok installed'
FAKE
cat > "$fake/dpkg" <<'FAKE'
#!/bin/bash
case "$1" in --print-architecture) echo amd64 ;; --print-foreign-architectures) echo i386 ;; esac
FAKE
printf '#!/bin/bash\necho "apt-get $*" >> "%s/apt.log"\n' "$fake" > "$fake/apt-get"
printf '#!/bin/bash\n[ "$1" = -u ] && echo "${FAKE_UID:-0}" || /usr/bin/id "$@"\n' > "$fake/id"
chmod +x "$fake"/*

failures=0
expect() {  # name, wanted status, wanted text in the output ("" = no output), args...
    local name=$1 status=$2 text=$3
    shift 3
    out=$(PATH="$fake:/usr/bin:/bin" bash "$script" "$@" 2>&1)
    got=$?
    if [ "$got" != "$status" ]; then echo "FAIL $name: status $got, wanted $status"; failures=1; fi
    if [ -z "$text" ] && [ -n "$out" ]; then echo "FAIL $name: output '$out'"; failures=1; fi
    if [ -n "$text" ] && [[ $out != *"$text"* ]]; then
        echo "FAIL $name: '$text' not in: $out"; failures=1
    fi
}

FAKE_MISSING="" expect "all there" 0 ""
FAKE_MISSING="" expect "all there, demo set" 0 "" build
FAKE_MISSING="libgtest-dev:i386" expect "an i386 copy missing" 1 \
    "apt-get install -y --no-install-recommends libgtest-dev:i386" --check
FAKE_MISSING="libgtest-dev:amd64" expect "the test set is not the demo's" 0 "" build
FAKE_MISSING="cmake:amd64" expect "unknown argument" 2 "unknown argument '--frob'" --frob
if ! command -v sudo >/dev/null 2>&1; then
    FAKE_UID=1000 FAKE_MISSING="cmake:amd64" expect "no root, no sudo" 1 \
        "ask an administrator to run" build
fi
[ ! -e "$fake/apt.log" ] || { echo "FAIL: apt-get was run: $(cat "$fake/apt.log")"; failures=1; }
FAKE_MISSING="cmake:amd64" expect "root installs what is missing" 0 "installing: cmake" build
grep -q "apt-get .*install .* cmake$" "$fake/apt.log" || { echo "FAIL: no install of cmake"; failures=1; }
[ $failures = 0 ] && echo "install-deps: all cases passed"
exit $failures
