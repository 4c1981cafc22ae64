#!/usr/bin/env bash
# The relay at work under Wine: the stand-in monitor's readings change for about 20 seconds while
# slot-listen prints every report; then a second start stops the relay.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
make dist >/dev/null
python3 tests/e2e/wine_e2e.py --setup
export WINEPREFIX=${VARDEX_WINEPREFIX:-/tmp/vardex-wine-$(id -u)} WINEDEBUG=-all
trap 'kill $(jobs -p) 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT

wine dist/slot-listen-x86.exe --seconds 40 &
sleep 2
# The stand-in takes its readings from this pipe.
exec 3> >(wine dist/probe-standin-x86.exe --cpu 45 --mb 36 | grep --line-buffered -E '^(click|ready)' | sed -u 's/^/    [probe] /')
sleep 2
echo "starting the relay: wine dist/vardex-x86.exe .   (the local mailslot; reports headed \".\")"
wine dist/vardex-x86.exe . &
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
wine dist/vardex-x86.exe
second=$?
wait $relay
first=$?
set -e
echo "second start exit code: $second"
echo "running copy exit code: $first"
echo "quit" >&3
exec 3>&-
sleep 1
