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
#   python:    1,000 *IDN? queries to zemosim over VXI-11 through one zemo.Instrument in one
#              Python process  vs  one zemoquery reading the same 1,000 from standard input
#              (target: at most 1.5x its time; see measure_python).
#   start-up:  each of zemoquery, zemosend, zemorecv and zemoreset doing one small job on a
#              simulated instrument  vs  a dynamically linked C program that does nothing
#              (target: at most 1.5x its time; see measure_startup).
#   zemosim:   1,000 *IDN? through one zemoquery over the socket, HiSLIP and the
#              pseudo-terminal  vs  over VXI-11 (target: at most 2x), and one zemoquery per
#              query over the socket  vs  over VXI-11 (target: at most 1.5x) (see
#              measure_protocol_queries); 64 MiB through the pseudo-terminal into zemorecv  vs
#              a raw copy through a pseudo-terminal of its own (target: at least 0.5x the
#              throughput) (see measure_terminal_stream).
# Each figure is the lowest wall-clock time of several rounds, which keeps the noise of a shared
# machine out. One function per measurement; the list at the end runs them.
# Usage: bench/zemo.sh [BUILD_DIR [MEASUREMENT...]]
#   BUILD_DIR defaults to build (the tools are in BUILD_DIR/bin, the Python package in
#   BUILD_DIR/python); MEASUREMENT is send_lines, receive_stream, network_streams, queries,
#   python, startup, protocol_queries or terminal_stream, all eight by default. PYTHON names the
#   Python, /usr/bin/python3 by default.
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
# read: their answers are left unread when zemosend leaves, and go to the reader that connects
# next. zemoreset empties the queue afterwards (a reader that leaves part of the answers unread
# gives it back). Targets: socket at least 0.8x nc; VXI-11 at least
# 0.5x the socket; HiSLIP at least 0.9x the socket.
net_bytes=1073741824
largest_block=999999999

# start_zemosim: starts zemosim in the background, with a pseudo-terminal, and waits until it
# has printed its names (it prints them once it listens); sets vxi11_name, socket_name,
# serial_name and hislip_name.
start_zemosim() {
    [ -x "$bin/zemosim" ] || { echo "bench/zemo.sh: no program at $bin/zemosim" >&2; exit 1; }
    command -v nc > /dev/null || { echo "bench/zemo.sh: nc (netcat-openbsd) is missing" >&2; exit 1; }
    mkfifo "$work/names"
    "$bin/zemosim" -p > "$work/names" &
    zemosim_pid=$!
    trap 'kill "$zemosim_pid" 2> /dev/null; rm -rf "$work"' EXIT
    { read -r vxi11_name; read -r socket_name; read -r serial_name; read -r hislip_name; } \
        < "$work/names"
}

# best_read_seconds NAME COMMAND: queues two answers of $largest_block bytes by queries to NAME,
# times COMMAND reading 1 GiB of them, and empties the queue; prints the lowest of $rounds times
# in seconds.
best_read_seconds() {
    local best="" start end elapsed
    for ((round = 0; round < rounds; round++)); do
        printf 'DATA? %d\n' $largest_block $largest_block | "$bin/zemosend" "$1"
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

# measure_python: 1,000 "*IDN?" queries over VXI-11, asked by a Python process through one
# zemo.Instrument and by one zemoquery reading them from standard input, both whole processes
# from start to end. The two take turns in $rounds pairs, in alternating order; the figure is
# the median of the pairs' ratios, besides each side's best time.
measure_python() {
    local queries=1000 python=${PYTHON:-/usr/bin/python3} round tool peer ratios=()
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    awk -v n=$queries 'BEGIN { for (i = 0; i < n; i++) print "*IDN?" }' > "$work/queries"
    cat > "$work/idn.py" <<'PY'
import sys
import zemo
with zemo.open(sys.argv[1]) as inst:
    for _ in range(int(sys.argv[2])):
        inst.query("*IDN?")
PY
    local run_tool="env PYTHONPATH='$build/python' ZEMO_LIBRARY='$build/lib/libzemo.so.1' '$python' '$work/idn.py' '$vxi11_name' $queries"
    local run_peer="'$bin/zemoquery' '$vxi11_name' < '$work/queries' > /dev/null"
    local best_tool="" best_peer=""
    for ((round = 0; round < rounds; round++)); do
        if ((round % 2 == 0)); then
            peer=$(rounds=1 best_seconds "$run_peer"); tool=$(rounds=1 best_seconds "$run_tool")
        else
            tool=$(rounds=1 best_seconds "$run_tool"); peer=$(rounds=1 best_seconds "$run_peer")
        fi
        ratios+=("$(ratio "$tool" "$peer")")
        best_tool=$(awk -v a="$tool" -v b="${best_tool:-$tool}" 'BEGIN { print (a < b ? a : b) }')
        best_peer=$(awk -v a="$peer" -v b="${best_peer:-$peer}" 'BEGIN { print (a < b ? a : b) }')
    done
    local median
    median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }')
    echo "$queries *IDN? over VXI-11: Python, one zemo.Instrument ${best_tool} s; one zemoquery for all ${best_peer} s (best of $rounds)"
    echo "  Python takes ${median}x the time of zemoquery, median of $rounds pairs (ratios ${ratios[*]}; target: at most 1.5x)"
}

# Start-up: each instrument tool doing one small job on a simulated instrument, against a C
# program that does nothing, linked dynamically as cc links it by default (the floor of a
# dynamic program's launch). The two sides take turns pair by pair: a pair times a batch of
# launches of each, in alternating order, and the figure is the median of the pairs' ratios,
# with the middle half of them as its spread. Target: every tool at most 1.5x the no-op.
startup_pairs=${STARTUP_PAIRS:-41}
startup_batch=${STARTUP_BATCH:-20}

# build_startup_timer: compiles the no-op and the paired timer into $work.
build_startup_timer() {
    printf 'int main(void) { return 0; }\n' > "$work/noop.c"
    # pairs N BATCH FLOOR PROGRAM ARGS...: N pairs, each BATCH launches of FLOOR and of the
    # command, with standard input and output on /dev/null; prints the median ratio of the
    # command's time to the floor's, the first and third quartiles of the ratios, and the
    # median time per launch of each side in microseconds.
    cat > "$work/pairs.c" <<'C'
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
static posix_spawn_file_actions_t actions;
static double batch_ns(long batch, char** argv) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < batch; ++i) {
        pid_t pid;
        int status;
        if (posix_spawn(&pid, argv[0], &actions, NULL, argv, environ) != 0 ||
            waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "pairs: %s failed\n", argv[0]);
            exit(1);
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    return ((double)(end.tv_sec - start.tv_sec) * 1e9 + (double)(end.tv_nsec - start.tv_nsec)) /
           (double)batch;
}
static int ascending(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}
static double quantile(double* values, long n, double q) {
    qsort(values, (size_t)n, sizeof *values, ascending);
    return values[(long)(q * (double)(n - 1) + 0.5)];
}
int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: pairs N BATCH FLOOR PROGRAM [ARG...]\n");
        return 2;
    }
    long n = strtol(argv[1], NULL, 10), batch = strtol(argv[2], NULL, 10);
    char* floor_argv[] = {argv[3], NULL};
    double* ratios = calloc((size_t)n, sizeof(double));
    double* floors = calloc((size_t)n, sizeof(double));
    double* tools = calloc((size_t)n, sizeof(double));
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (long i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            floors[i] = batch_ns(batch, floor_argv);
            tools[i] = batch_ns(batch, argv + 4);
        } else {
            tools[i] = batch_ns(batch, argv + 4);
            floors[i] = batch_ns(batch, floor_argv);
        }
        ratios[i] = tools[i] / floors[i];
    }
    double median = quantile(ratios, n, 0.5);
    printf("%.2f %.2f %.2f %.1f %.1f\n", median, quantile(ratios, n, 0.25),
           quantile(ratios, n, 0.75), quantile(floors, n, 0.5) / 1e3, quantile(tools, n, 0.5) / 1e3);
    return 0;
}
C
    cc -O2 -o "$work/noop" "$work/noop.c"
    cc -O2 -o "$work/pairs" "$work/pairs.c"
}

# measure_startup: every instrument tool, one small job each on a simulated instrument, paired
# with the dynamic no-op.
measure_startup() {
    [ -x "$bin/zemoreset" ] || { echo "bench/zemo.sh: no program at $bin/zemoreset" >&2; exit 1; }
    build_startup_timer
    echo "start-up against a dynamic C no-op, median of $startup_pairs pairs of $startup_batch launches each:"
    local command figures median low high floor tool
    for command in "zemoquery sim/echo *IDN?" "zemosend sim/sink" "zemorecv -c 16 sim/source" \
                   "zemoreset sim/echo"; do
        read -r -a words <<< "$command"
        figures=$("$work/pairs" "$startup_pairs" "$startup_batch" "$work/noop" "$bin/${words[0]}" "${words[@]:1}")
        read -r median low high floor tool <<< "$figures"
        printf '  %-27s %7.1f us; no-op %6.1f us; %sx (middle half %sx to %sx; target at most 1.5x)\n' \
               "$command" "$tool" "$floor" "$median" "$low" "$high"
    done
}

# measure_protocol_queries: 1,000 "*IDN?" through one zemoquery over each protocol, against
# VXI-11 in the same run; and one zemoquery per query, 1,000 times, over the socket against
# VXI-11.
measure_protocol_queries() {
    local queries=1000 name batch vxi11_batch single vxi11_single
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    awk -v n=$queries 'BEGIN { for (i = 0; i < n; i++) print "*IDN?" }' > "$work/queries"
    vxi11_batch=$(best_seconds "'$bin/zemoquery' '$vxi11_name' < '$work/queries' > /dev/null")
    echo "$queries *IDN? through one zemoquery over VXI-11: ${vxi11_batch} s"
    for name in "$socket_name" "$hislip_name" "$serial_name"; do
        batch=$(best_seconds "'$bin/zemoquery' '$name' < '$work/queries' > /dev/null")
        echo "  over ${name%%/*}: ${batch} s, $(ratio "$batch" "$vxi11_batch")x the time of" \
             "VXI-11 (target: at most 2x)"
    done
    vxi11_single=$(best_seconds "for ((i = 0; i < $queries; i++)); do
        '$bin/zemoquery' '$vxi11_name' '*IDN?'; done > /dev/null")
    single=$(best_seconds "for ((i = 0; i < $queries; i++)); do
        '$bin/zemoquery' '$socket_name' '*IDN?'; done > /dev/null")
    echo "$queries *IDN?, one zemoquery each: over the socket ${single} s; over VXI-11" \
         "${vxi11_single} s"
    echo "  the socket takes $(ratio "$single" "$vxi11_single")x the time of VXI-11" \
         "(target: at most 1.5x)"
}

# measure_terminal_stream: 64 MiB of a "DATA?" answer through zemosim's pseudo-terminal into
# zemorecv (the query goes in by zemosend before each timed read, and zemoreset empties the
# queue afterwards); the peer writes 64 MiB in 64 KiB pieces into the master of a raw
# pseudo-terminal of its own, which head reads from the slave, in the same run.
terminal_bytes=67108864
measure_terminal_stream() {
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    command -v python3 > /dev/null || { echo "bench/zemo.sh: python3 is missing" >&2; exit 1; }
    cat > "$work/pty_copy.py" <<'PYTHON'
import os, pty, subprocess, sys, tty
size = int(sys.argv[1])
master, slave = pty.openpty()
tty.setraw(slave)
reader = subprocess.Popen(["head", "-c", str(size), os.ttyname(slave)],
                          stdout=subprocess.DEVNULL)
os.close(slave)
piece = bytes(65536)
left = size
while left > 0:
    left -= os.write(master, piece[:min(left, len(piece))])
sys.exit(reader.wait())
PYTHON
    local peer tool
    peer=$(best_seconds "python3 '$work/pty_copy.py' $terminal_bytes")
    tool=$(best_read_seconds "$serial_name" \
        "'$bin/zemorecv' -c $terminal_bytes '$serial_name' | cat > /dev/null")
    echo "64 MiB through a pseudo-terminal: zemorecv from zemosim ${tool} s; a raw copy ${peer} s"
    echo "  zemosim's pseudo-terminal moves $(ratio "$peer" "$tool")x the throughput of the raw" \
         "copy (target: at least 0.5x)"
}

measurements=("${@:2}")
[ ${#measurements[@]} -gt 0 ] ||
    measurements=(send_lines receive_stream network_streams queries python startup protocol_queries
                  terminal_stream)
for measurement in "${measurements[@]}"; do
    case $measurement in
    send_lines | receive_stream | network_streams | queries | python | startup | \
        protocol_queries | terminal_stream)
        "measure_$measurement" ;;
    *) echo "bench/zemo.sh: unknown measurement '$measurement'; expected send_lines, receive_stream, network_streams, queries, python, startup, protocol_queries or terminal_stream" >&2; exit 1 ;;
    esac
done
