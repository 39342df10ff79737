#!/bin/sh
# Runs a libFuzzer target for a bounded time from the seed corpus. New
# inputs go to a scratch corpus, never into the tree; a crashing input is
# kept in FINDINGS, to reproduce with `FUZZER FINDINGS/crash-...`.
# usage: run_fuzzer.sh FUZZER SEEDS FINDINGS SECONDS
set -eu
fuzzer=$1 seeds=$2 findings=$3 seconds=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=12288 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$scratch" "$seeds" 2>"$scratch.log" || status=$?
grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb|INFO: Seed|==[0-9]+==ERROR|framing_fuzzer:|SUMMARY)' \
    "$scratch.log" || true
if [ $status -ne 0 ]; then
    tail -40 "$scratch.log"
    echo "run_fuzzer: finding kept in $findings"
fi
echo "run_fuzzer: corpus grew to $(ls "$scratch" | wc -l) new inputs"
rm -f "$scratch.log"
exit $status
