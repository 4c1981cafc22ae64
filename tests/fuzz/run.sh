#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each, from its committed seeds plus a working corpus kept
# under build/fuzz/corpus; prints the executions reached and "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
bin=build/fuzz/tests/fuzz
passed=0 failed=0
for target in command_tail reading report poll_tick mqtt_stream report_check pem; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus" build/fuzz/artifacts
    log=build/fuzz/$target.log
    "$bin/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/"$target"- "$corpus" tests/fuzz/corpus/"$target" \
        >"$log" 2>&1
    status=$?
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        echo "fuzz_$target: ${runs:-?} executions in ${seconds} s, nothing found"
    else
        failed=$((failed + 1))
        echo "fuzz_$target: FAILED after ${runs:-?} executions; see $log"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
