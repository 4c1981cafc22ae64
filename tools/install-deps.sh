#!/usr/bin/env bash
# Installs, on Debian, every package that building and testing vardex needs and is missing.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev python3
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64
          clang clang-tidy cppcheck libclang-rt-14-dev valgrind python3-pefile
          mosquitto mosquitto-clients wixl msitools
          osslsigncode python3-yaml "$@")
# Only the 32-bit Wine lane needs these; without them that lane is reported as skipped.
optional=(wine32:i386)

# Wine's 32-bit half comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    fresh=1
fi
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_optional=()
for p in "${optional[@]}"; do installed "$p" || missing_optional+=("$p"); done
[ ${#missing[@]} -gt 0 ] || [ ${#missing_optional[@]} -gt 0 ] || [ -n "${fresh:-}" ] || exit 0

echo "installing: ${missing[*]} ${missing_optional[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync fails one index now and then (seen: the 32-bit security
# index). apt keeps the indexes it did fetch, so a few tries, then on with what there is: the
# install below says whether the packages can still be had.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
for try in 1 2 3; do
    if apt-get update -qq >"$update_log" 2>&1; then
        break
    fi
    if [ "$try" -eq 3 ]; then
        echo "install-deps: apt-get update could not fetch every index; going on with those it" \
             "did: $(grep -m1 '^E:' "$update_log" || tail -n1 "$update_log")"
    else
        sleep $((try * 10))
    fi
done
if [ ${#missing[@]} -gt 0 ] &&
   ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$update_log" 2>&1; then
    echo "install-deps: cannot install ${missing[*]}:" \
         "$(grep -m1 '^E:' "$update_log" || tail -n1 "$update_log")"
    exit 1
fi
# An i386 index that failed above leaves the 32-bit packages' versions out of step with the
# 64-bit ones, and apt refuses them: the 32-bit lane is then skipped, not the whole run.
if [ ${#missing_optional[@]} -gt 0 ] &&
   ! apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" >"$update_log" 2>&1; then
    echo "install-deps: cannot install ${missing_optional[*]}, so the 32-bit Wine lane will be" \
         "skipped: $(grep -m1 '^E:' "$update_log" || tail -n1 "$update_log")"
fi
