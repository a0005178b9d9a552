#!/usr/bin/env bash
# Measures the instrument-interface tools against named peers, all in one run on this machine,
# and prints the ratios:
#   zemosend:  1,000,000 short lines from a file to sim/sink  vs  wc -l on the same file
#              (target: at most 3x the time of wc -l);
#   zemorecv:  4 GiB from sim/source through a pipe into cat  vs  dd if=/dev/zero bs=1M into
#              the same pipe (target: at least 0.9x the throughput of dd);
#   zemoquery: 1,000 *IDN? queries to zemosim over VXI-11 and the socket, one zemoquery per
#              query  vs  zemosend plus zemorecv -c per query, and all 1,000 on the standard
#              input of one zemoquery (see measure_queries).
# Each figure is the lowest wall-clock time of several rounds, which keeps the noise of a shared
# machine out. One function per measurement; the list at the end runs them.
# Usage: bench/zemo.sh [BUILD_DIR [MEASUREMENT...]]
#   BUILD_DIR defaults to build (the tools are in BUILD_DIR/bin); MEASUREMENT is send_lines,
#   receive_stream, network_streams or queries, all four by default.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
bin=$build/bin
for tool in zemosend zemorecv zemoquery; do
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

# Network transports: zemosim serves the instrument on loopback; zemorecv reads 1 GiB of two
# "DATA?" answers of the largest block zemosim sends, 999,999,999 bytes, over the raw socket,
# over VXI-11 and over HiSLIP, and nc (netcat-openbsd) reads the same over the same socket as
# the peer. The queries go in by zemosend over the protocol that reads them before each timed
# read, since zemosim sends a raw socket or HiSLIP reader that has asked nothing only the
# answers of clients that have left; the timer starts once zemosim's 200 ms hold of such
# answers has passed.
# zemoreset empties the queue afterwards. Targets: socket at least 0.8x nc; VXI-11 at least
# 0.5x the socket; HiSLIP at least 0.9x the socket.
net_bytes=1073741824
largest_block=999999999

# start_zemosim: starts zemosim in the background and waits until it has printed its names
# (it prints them once it listens); sets vxi11_name, socket_name and hislip_name.
start_zemosim() {
    [ -x "$bin/zemosim" ] || { echo "bench/zemo.sh: no program at $bin/zemosim" >&2; exit 1; }
    command -v nc > /dev/null || { echo "bench/zemo.sh: nc (netcat-openbsd) is missing" >&2; exit 1; }
    mkfifo "$work/names"
    "$bin/zemosim" > "$work/names" &
    zemosim_pid=$!
    trap 'kill "$zemosim_pid" 2> /dev/null; rm -rf "$work"' EXIT
    { read -r vxi11_name; read -r socket_name; read -r hislip_name; } < "$work/names"
}

# best_read_seconds NAME COMMAND: queues two answers of $largest_block bytes by queries to NAME,
# times COMMAND reading 1 GiB of them, and empties the queue; prints the lowest of $rounds times
# in seconds.
best_read_seconds() {
    local best="" start end elapsed
    for ((round = 0; round < rounds; round++)); do
        printf 'DATA? %d\n' $largest_block $largest_block | "$bin/zemosend" "$1"
        sleep 0.3
        start=$(date +%s%N)
        bash -c "$2"
        end=$(date +%s%N)
        "$bin/zemoreset" "$vxi11_name"
        elapsed=$((end - start))
        if [ -z "$best" ] || [ "$elapsed" -lt "$best" ]; then best=$elapsed; fi
    done
    awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }'
}

# measure_network_streams: 1 GiB through nc, and through zemorecv over the socket, VXI-11 and
# HiSLIP, each into a pipe.
measure_network_streams() {
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    local host=${socket_name#socket/}
    local port=${host##*/}
    host=${host%/*}
    local peer socket vxi11 hislip
    peer=$(best_read_seconds "$socket_name" "nc -d '$host' '$port' | head -c $net_bytes > /dev/null")
    socket=$(best_read_seconds "$socket_name" \
        "'$bin/zemorecv' -c $net_bytes '$socket_name' | cat > /dev/null")
    vxi11=$(best_read_seconds "$vxi11_name" \
        "'$bin/zemorecv' -c $net_bytes '$vxi11_name' | cat > /dev/null")
    hislip=$(best_read_seconds "$hislip_name" \
        "'$bin/zemorecv' -c $net_bytes '$hislip_name' | cat > /dev/null")
    echo "1 GiB from zemosim into a pipe: nc ${peer} s; zemorecv over the socket ${socket} s;" \
         "zemorecv over VXI-11 ${vxi11} s; zemorecv over HiSLIP ${hislip} s"
    echo "  the socket transport moves $(ratio "$peer" "$socket")x the throughput of nc (target: at least 0.8x)"
    echo "  VXI-11 moves $(ratio "$socket" "$vxi11")x the throughput of the socket (target: at least 0.5x)"
    echo "  HiSLIP moves $(ratio "$socket" "$hislip")x the throughput of the socket (target: at least 0.9x)"
}

# measure_queries: 1,000 "*IDN?" queries, each answered by zemosim, asked three ways: one
# zemoquery per query; zemosend then zemorecv -c for the 19-byte answer per query (the pair
# that zemoquery replaces); and one zemoquery reading all 1,000 from standard input.
measure_queries() {
    local queries=1000 name pair single batch
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    awk -v n=$queries 'BEGIN { for (i = 0; i < n; i++) print "*IDN?" }' > "$work/queries"
    for name in "$vxi11_name" "$socket_name"; do
        pair=$(best_seconds "for ((i = 0; i < $queries; i++)); do
            echo '*IDN?' | '$bin/zemosend' '$name'; '$bin/zemorecv' -c 19 '$name'; done > /dev/null")
        single=$(best_seconds "for ((i = 0; i < $queries; i++)); do
            '$bin/zemoquery' '$name' '*IDN?'; done > /dev/null")
        batch=$(best_seconds "'$bin/zemoquery' '$name' < '$work/queries' > /dev/null")
        echo "$queries *IDN? over ${name%%/*}: zemosend+zemorecv ${pair} s; one zemoquery each" \
             "${single} s; one zemoquery for all ${batch} s"
        echo "  one zemoquery per query takes $(ratio "$single" "$pair")x the time of the pair;" \
             "one for all $(ratio "$batch" "$pair")x"
    done
}

measurements=("${@:2}")
[ ${#measurements[@]} -gt 0 ] || measurements=(send_lines receive_stream network_streams queries)
for measurement in "${measurements[@]}"; do
    case $measurement in
    send_lines | receive_stream | network_streams | queries) "measure_$measurement" ;;
    *) echo "bench/zemo.sh: unknown measurement '$measurement'; expected send_lines, receive_stream, network_streams or queries" >&2; exit 1 ;;
    esac
done
