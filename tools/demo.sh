#!/usr/bin/env bash
# The relay at work under Wine: the stand-in monitor's readings change for about 20 seconds while
# slot-listen prints every report; then a second start stops the relay. Runs the 32-bit programs
# where 32-bit programs run, else the 64-bit ones.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
make dist >/dev/null
wine=(python3 tools/wine_runner.py)
# This demo's own Wine folder: another run on this machine never meets it.
VARDEX_WINE_RUN=$(mktemp -d /tmp/vardex-demo.XXXXXX)
export VARDEX_WINE_RUN
trap 'kill $(jobs -p) 2>/dev/null || true; "${wine[@]}" --cleanup || true' EXIT
# A Wine that cannot be set up says so in one line; there is nothing to show without it.
"${wine[@]}" --setup >/dev/null || exit 1

arch=$("${wine[@]}" --lane)
echo "running the $arch programs: $("${wine[@]}" --lanes)"
run=("${wine[@]}" --run)

"${run[@]}" "dist/slot-listen-$arch.exe" --seconds 40 &
sleep 2
# The stand-in takes its readings from this pipe.
exec 3> >("${run[@]}" "dist/probe-standin-$arch.exe" --cpu 45 --mb 36 |
          grep --line-buffered -E '^(click|ready)' | sed -u 's/^/    [probe] /')
sleep 2
echo "starting the relay: dist/vardex-$arch.exe .   (the local mailslot; reports headed \".\")"
"${run[@]}" "dist/vardex-$arch.exe" . &
relay=$!

cpu=45 mb=36
for second in $(seq 1 20); do
    sleep 1
    case $((second % 4)) in
        0) cpu=$((cpu + 1)) ;;
        1) mb=$((mb + 1)) ;;
        2) cpu=$((cpu - 2)) ;;
        3) ;;  # unchanged: no report this second
    esac
    echo "cpu $cpu" >&3
    echo "mb $mb" >&3
done
sleep 2

echo "stopping the relay with a second start"
set +e
"${run[@]}" "dist/vardex-$arch.exe"
second=$?
wait $relay
first=$?
set -e
echo "second start exit code: $second"
echo "running copy exit code: $first"
echo "quit" >&3
exec 3>&-
sleep 1
