#!/usr/bin/env bash
# Measures the instrument-interface tools against named peers, all in one run on this machine,
# and prints the ratios:
#   zemosend:  1,000,000 short lines from a file to sim/sink  vs  wc -l on the same file
#              (target: at most 3x the time of wc -l);
#   zemorecv:  4 GiB from sim/source through a pipe into cat  vs  dd if=/dev/zero bs=1M into
#              the same pipe (target: at least 0.9x the throughput of dd).
# Each figure is the lowest wall-clock time of several rounds, which keeps the noise of a shared
# machine out. One function per measurement; the list at the end runs them.
# Usage: bench/zemo.sh [BUILD_DIR]   (default build; the tools are in BUILD_DIR/bin)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
bin=$build/bin
for tool in zemosend zemorecv; do
    [ -x "$bin/$tool" ] || { echo "bench/zemo.sh: no program at $bin/$tool; run make first" >&2; exit 1; }
done
rounds=${ROUNDS:-5}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset ZEMO_TRACE

# best_seconds COMMAND: runs the shell command $rounds times and prints the lowest wall-clock
# time in seconds.
best_seconds() {
    local best="" start end elapsed
    for ((round = 0; round < rounds; round++)); do
        start=$(date +%s%N)
        bash -c "$1"
        end=$(date +%s%N)
        elapsed=$((end - start))
        if [ -z "$best" ] || [ "$elapsed" -lt "$best" ]; then best=$elapsed; fi
    done
    awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }'
}

# ratio A B: A divided by B, to two places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# measure_send_lines: zemosend writes each of 1,000,000 short lines to the simulated sink;
# wc -l reads and counts the same lines.
measure_send_lines() {
    local lines=$work/lines
    awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "SOUR:VOLT %d\n", i % 1000 }' > "$lines"
    local peer tool
    peer=$(best_seconds "wc -l < '$lines' > /dev/null")
    tool=$(best_seconds "'$bin/zemosend' sim/sink < '$lines'")
    echo "zemosend, 1,000,000 lines to sim/sink: ${tool} s; wc -l on the same input: ${peer} s"
    echo "  zemosend takes $(ratio "$tool" "$peer")x the time of wc -l (target: at most 3x)"
}

# measure_receive_stream: zemorecv copies 4 GiB from the simulated source into a pipe; dd
# copies 4 GiB of zeros in 1 MiB blocks into the same kind of pipe, read by the same cat.
measure_receive_stream() {
    local peer tool
    peer=$(best_seconds "dd if=/dev/zero bs=1M count=4096 status=none | cat > /dev/null")
    tool=$(best_seconds "'$bin/zemorecv' -c 4294967296 sim/source | cat > /dev/null")
    echo "zemorecv, 4 GiB from sim/source into a pipe: ${tool} s; dd if=/dev/zero bs=1M: ${peer} s"
    echo "  zemorecv moves $(ratio "$peer" "$tool")x the throughput of dd (target: at least 0.9x)"
}

measure_send_lines
measure_receive_stream
