#!/usr/bin/env bash
# Measures the instrument-interface tools against named peers, all in one run on this machine,
# and prints the ratios:
#   zemosend:  1,000,000 short lines from a file to sim/sink  vs  wc -l on the same file
#              (target: at most 3x the time of wc -l);
#   zemorecv:  1 GiB from sim/source through a pipe into cat  vs  dd if=/dev/zero bs=1M into
#              the same pipe (target: at least 0.9x the throughput of dd);
#   network:   256 MiB of a "DATA?" answer from zemosim over the raw socket  vs  nc on the same
#              socket (target: at least 0.8x the throughput), and over VXI-11 and HiSLIP  vs  the
#              socket (targets: at least 0.5x and 0.9x) (see measure_network_streams);
#   zemoquery: 200 *IDN? queries to zemosim over VXI-11 and the socket, one zemoquery per
#              query, and all 200 on the standard input of one zemoquery  vs  zemosend plus
#              zemorecv -c per query (see measure_queries);
#   python:    1,000 *IDN? queries to zemosim over VXI-11 through one zemo.Instrument in one
#              Python process  vs  one zemoquery reading the same 1,000 from standard input
#              (target: at most 1.5x its time; see measure_python);
#   start-up:  each of zemoquery, zemosend, zemorecv and zemoreset doing one small job on a
#              simulated instrument  vs  a dynamically linked C program that does nothing
#              (target: at most 1.5x its time; see measure_startup);
#   zemosim:   1,000 *IDN? through one zemoquery over the socket, HiSLIP and the
#              pseudo-terminal  vs  over VXI-11 (target: at most 2x), and 200, one zemoquery per
#              query, over the socket  vs  over VXI-11 (target: at most 1.5x) (see
#              measure_protocol_queries); 64 MiB through the pseudo-terminal into zemorecv  vs
#              a raw copy through a pseudo-terminal of its own (target: at least 0.5x the
#              throughput) (see measure_terminal_stream).
# Every ratio comes from one method, paired below: the two sides of a pair take turns run by
# run, in alternating order, so that a busy spell of the machine hits both alike; every round
# gives one ratio, and the script prints the median time of each side and the median ratio over
# the rounds with its quartiles and extremes as the spread. One function per measurement; the
# list at the end runs them. All eight took 3 to 4.5 minutes on 2 cores at a load of 2 to 3.5.
# Usage: bench/zemo.sh [BUILD_DIR [MEASUREMENT...]]
#   BUILD_DIR defaults to build (the tools are in BUILD_DIR/bin, the Python package in
#   BUILD_DIR/python); MEASUREMENT is send_lines, receive_stream, network_streams, queries,
#   python, startup, protocol_queries or terminal_stream, all eight by default.
# Environment: ROUNDS, the rounds of every pair (default 21); STARTUP_BATCH, the launches of
#   each side in one start-up run (default 20); PYTHON, the Python (default /usr/bin/python3).
set -euo pipefail
shopt -s inherit_errexit # a run that fails stops the script from within $(...) too

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
bin=$build/bin
for tool in zemosend zemorecv zemoquery; do
    [ -x "$bin/$tool" ] || { echo "bench/zemo.sh: no program at $bin/$tool; run make first" >&2; exit 1; }
done
rounds=${ROUNDS:-21}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset ZEMO_TRACE

# run_once COMMAND: runs the shell command once and prints its wall-clock time in microseconds;
# a command that fails stops the script.
run_once() {
    local start=${EPOCHREALTIME//[!0-9]/}
    bash -c "$1" || { echo "bench/zemo.sh: failed: $1" >&2; exit 1; }
    echo $((${EPOCHREALTIME//[!0-9]/} - start))
}

# paired UNIT SIDE_A SIDE_B LABEL [TARGET]: SIDE_A and SIDE_B name arrays, each a command of
# this script that runs its side once and prints its time in microseconds (run_once, read_once or
# launch_batch). The two take turns for $rounds rounds, A then B, then B then A, and so on,
# so that a busy spell of the machine hits both alike; every round gives one ratio. Prints a
# line of LABEL, the median time of each side in UNIT (s or us) and the median ratio of A's time
# to B's, with its quartiles and extremes as the spread, and TARGET.
paired() {
    local -n side_a=$2 side_b=$3
    local round a b times=""
    for ((round = 0; round < rounds; round++)); do
        if ((round % 2 == 0)); then
            a=$("${side_a[@]}"); b=$("${side_b[@]}")
        else
            b=$("${side_b[@]}"); a=$("${side_a[@]}")
        fi
        times+="$a $b"$'\n'
    done
    printf '%s' "$times" | awk -v unit="$1" -v label="$4" -v target="${5:+; $5}" \
        -f "$here/bench/paired_stats.awk" -f <(printf '%s' '
        END {
            format = unit == "us" ? "%.1f us vs %.1f us" : "%.4f s vs %.4f s"
            scale = unit == "us" ? 1 : 1e6
            printf "  %s" format ": %.2fx (quartiles %.2fx to %.2fx, all %.2fx to %.2fx)%s\n",
                label == "" ? "" : label " ", at(a, n, 0.5) / scale, at(b, n, 0.5) / scale,
                at(r, n, 0.5), at(r, n, 0.25), at(r, n, 0.75), r[1], r[n], target
        }')
}

# measure_send_lines: zemosend writes each of 1,000,000 short lines to the simulated sink;
# wc -l reads and counts the same lines.
measure_send_lines() {
    local lines=$work/lines
    awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "SOUR:VOLT %d\n", i % 1000 }' > "$lines"
    local tool=(run_once "'$bin/zemosend' sim/sink < '$lines'")
    local peer=(run_once "wc -l < '$lines' > /dev/null")
    echo "zemosend, 1,000,000 lines to sim/sink, against wc -l on the same input (time):"
    paired s tool peer "" "target at most 3x"
}

# measure_receive_stream: zemorecv copies 1 GiB from the simulated source into a pipe; dd
# copies 1 GiB of zeros in 1 MiB blocks into the same kind of pipe, read by the same cat. The
# ratio is dd's time to zemorecv's, the throughput of zemorecv to dd's.
measure_receive_stream() {
    local peer=(run_once "dd if=/dev/zero bs=1M count=1024 status=none | cat > /dev/null")
    local tool=(run_once "set -o pipefail; '$bin/zemorecv' -c 1073741824 sim/source | cat > /dev/null")
    echo "zemorecv, 1 GiB from sim/source into a pipe, against dd if=/dev/zero bs=1M (throughput):"
    paired s peer tool "" "target at least 0.9x"
}

# Network transports: zemosim serves the instrument on loopback; each run reads 256 MiB of the
# "DATA?" answer of the largest block zemosim sends, 999,999,999 bytes, over the raw socket, over VXI-11 or over HiSLIP, and nc
# (netcat-openbsd) reads the same over the same socket as the peer. Left to the kernel, where the
# server, the reader and its pipe run on the two cores sets the speed of a read for its whole
# length (one read of 256 MiB over the socket took 0.13 s or 0.43 s); so zemosim runs on the
# first core during the streams (pin_server) and the reader with its pipe on the second. The
# query goes in by zemosend over the protocol that reads it before each timed run: its answer is
# left unread when zemosend leaves, and goes to the reader that connects next; zemoreset
# empties the queue after the run (the reader leaves the rest of the answer unread). Targets: socket at least 0.8x nc; VXI-11 at least 0.5x the socket; HiSLIP at
# least 0.9x the socket.
net_bytes=268435456
largest_block=999999999

# start_zemosim: starts zemosim in the background, with a pseudo-terminal, and waits until it
# has printed its names (it prints them once it listens); sets vxi11_name, socket_name,
# serial_name and hislip_name.
start_zemosim() {
    [ -x "$bin/zemosim" ] || { echo "bench/zemo.sh: no program at $bin/zemosim" >&2; exit 1; }
    command -v nc > /dev/null || { echo "bench/zemo.sh: nc (netcat-openbsd) is missing" >&2; exit 1; }
    command -v taskset > /dev/null || { echo "bench/zemo.sh: taskset (util-linux) is missing" >&2; exit 1; }
    mkfifo "$work/names"
    "$bin/zemosim" -p > "$work/names" &
    zemosim_pid=$!
    trap 'kill "$zemosim_pid" 2> /dev/null; rm -rf "$work"' EXIT
    { read -r vxi11_name; read -r socket_name; read -r serial_name; read -r hislip_name; } \
        < "$work/names"
}

# pin_server CPUS: lets zemosim run on the processors CPUS alone (a list for taskset -c).
pin_server() {
    taskset -p -c "$1" "$zemosim_pid" > /dev/null
}
reader_cpu=$(($(nproc) > 1 ? 1 : 0))
all_cpus=0-$(($(nproc) - 1))

# read_once NAME COMMAND: queues the answer of the largest block by a query to NAME, times
# COMMAND reading part of it (run_once) on processor $reader_cpu, and empties the queue; prints
# the time in microseconds.
read_once() {
    printf 'DATA? %d\n' $largest_block | "$bin/zemosend" "$1"
    run_once "exec taskset -c $reader_cpu bash -c $(printf %q "$2")"
    "$bin/zemoreset" "$vxi11_name"
}

# zemorecv_read NAME BYTES: a command for read_once, zemorecv reading BYTES from NAME into a
# pipe.
zemorecv_read() {
    echo "set -o pipefail; '$bin/zemorecv' -c $2 '$1' | cat > /dev/null"
}

# measure_network_streams: 256 MiB through nc, and through zemorecv over the socket, VXI-11 and
# HiSLIP, each into a pipe; each ratio is the time of the reference to the time of the
# transport, the transport's throughput to the reference's.
measure_network_streams() {
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    local host=${socket_name#socket/}
    local port=${host##*/}
    host=${host%/*}
    # nc leaves when head closes the pipe, by SIGPIPE: head's status is the pipeline's.
    local peer=(read_once "$socket_name" "nc -d '$host' '$port' | head -c $net_bytes > /dev/null")
    local socket=(read_once "$socket_name" "$(zemorecv_read "$socket_name" $net_bytes)")
    local vxi11=(read_once "$vxi11_name" "$(zemorecv_read "$vxi11_name" $net_bytes)")
    local hislip=(read_once "$hislip_name" "$(zemorecv_read "$hislip_name" $net_bytes)")
    pin_server 0
    echo "256 MiB from zemosim into a pipe, zemosim on processor 0, the reader on $reader_cpu (throughput):"
    paired s peer socket "zemorecv over the socket to nc:    " "target at least 0.8x"
    paired s socket vxi11 "zemorecv over VXI-11 to the socket:" "target at least 0.5x"
    paired s socket hislip "zemorecv over HiSLIP to the socket:" "target at least 0.9x"
    pin_server "$all_cpus"
}

# measure_queries: 200 "*IDN?" queries, each answered by zemosim, asked three ways: one
# zemoquery per query; zemosend then zemorecv -c for the 19-byte answer per query (the pair
# that zemoquery replaces); and one zemoquery reading all 200 from standard input.
measure_queries() {
    local queries=200 name
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    awk -v n=$queries 'BEGIN { for (i = 0; i < n; i++) print "*IDN?" }' > "$work/queries"
    for name in "$vxi11_name" "$socket_name"; do
        local pair=(run_once "for ((i = 0; i < $queries; i++)); do
            echo '*IDN?' | '$bin/zemosend' '$name'; '$bin/zemorecv' -c 19 '$name'; done > /dev/null")
        local single=(run_once "for ((i = 0; i < $queries; i++)); do
            '$bin/zemoquery' '$name' '*IDN?'; done > /dev/null")
        local batch=(run_once "'$bin/zemoquery' '$name' < '$work/queries' > /dev/null")
        echo "$queries *IDN? over ${name%%/*}, against zemosend then zemorecv -c 19 per query (time):"
        paired s single pair "one zemoquery per query:"
        paired s batch pair "one zemoquery for all:  "
    done
}

# measure_python: 1,000 "*IDN?" queries over VXI-11, asked by a Python process through one
# zemo.Instrument and by one zemoquery reading them from standard input, both whole processes
# from start to end.
measure_python() {
    local queries=1000 python=${PYTHON:-/usr/bin/python3}
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    awk -v n=$queries 'BEGIN { for (i = 0; i < n; i++) print "*IDN?" }' > "$work/queries"
    cat > "$work/idn.py" <<'PY'
import sys
import zemo
with zemo.open(sys.argv[1]) as inst:
    for _ in range(int(sys.argv[2])):
        inst.query("*IDN?")
PY
    local tool=(run_once "env PYTHONPATH='$build/python' ZEMO_LIBRARY='$build/lib/libzemo.so.1' '$python' '$work/idn.py' '$vxi11_name' $queries")
    local peer=(run_once "'$bin/zemoquery' '$vxi11_name' < '$work/queries' > /dev/null")
    echo "$queries *IDN? over VXI-11, Python through one zemo.Instrument against one zemoquery for all (time):"
    paired s tool peer "" "target at most 1.5x"
}

# Start-up: each instrument tool doing one small job on a simulated instrument, against a C
# program that does nothing, linked dynamically as cc links it by default (the floor of a
# dynamic program's launch). One run of a side is a batch of launches, timed by launch_batch
# without a shell around them. Target: every tool at most 1.5x the no-op.
startup_batch=${STARTUP_BATCH:-20}

# build_launcher: compiles the no-op and the launcher into $work.
build_launcher() {
    printf 'int main(void) { return 0; }\n' > "$work/noop.c"
    # launch BATCH PROGRAM [ARG...]: launches PROGRAM BATCH times, one after the other, with
    # standard input and output on /dev/null; prints the mean wall-clock time of a launch in
    # microseconds.
    cat > "$work/launch.c" <<'C'
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
extern char** environ;
int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: launch BATCH PROGRAM [ARG...]\n");
        return 2;
    }
    long batch = strtol(argv[1], NULL, 10);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < batch; ++i) {
        pid_t pid;
        int status;
        if (posix_spawn(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0 ||
            waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "launch: %s failed\n", argv[2]);
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%.1f\n", ((double)(end.tv_sec - start.tv_sec) * 1e9 +
                      (double)(end.tv_nsec - start.tv_nsec)) / 1e3 / (double)batch);
    return 0;
}
C
    cc -O2 -o "$work/noop" "$work/noop.c"
    cc -O2 -o "$work/launch" "$work/launch.c"
}

# launch_batch PROGRAM [ARG...]: one run of a start-up side, $startup_batch launches; prints the
# mean time of a launch in microseconds.
launch_batch() {
    "$work/launch" "$startup_batch" "$@" || exit 1
}

# measure_startup: every instrument tool, one small job each on a simulated instrument, paired
# with the dynamic no-op.
measure_startup() {
    [ -x "$bin/zemoreset" ] || { echo "bench/zemo.sh: no program at $bin/zemoreset" >&2; exit 1; }
    build_launcher
    echo "start-up against a dynamic C no-op, a run $startup_batch launches (time per launch):"
    local command words floor=(launch_batch "$work/noop")
    for command in "zemoquery sim/echo *IDN?" "zemosend sim/sink" "zemorecv -c 16 sim/source" \
                   "zemoreset sim/echo"; do
        read -r -a words <<< "$command"
        local tool=(launch_batch "$bin/${words[0]}" "${words[@]:1}")
        paired us tool floor "$(printf '%-27s' "$command")" "target at most 1.5x"
    done
}

# measure_protocol_queries: 1,000 "*IDN?" through one zemoquery over each protocol, against
# VXI-11; and one zemoquery per query, 200 times, over the socket against VXI-11.
measure_protocol_queries() {
    local queries=1000 singles=200 name
    [ -n "${zemosim_pid:-}" ] || start_zemosim
    awk -v n=$queries 'BEGIN { for (i = 0; i < n; i++) print "*IDN?" }' > "$work/queries"
    local vxi11_batch=(run_once "'$bin/zemoquery' '$vxi11_name' < '$work/queries' > /dev/null")
    echo "$queries *IDN? through one zemoquery, against the same over VXI-11 (time):"
    for name in "$socket_name" "$hislip_name" "$serial_name"; do
        local batch=(run_once "'$bin/zemoquery' '$name' < '$work/queries' > /dev/null")
        paired s batch vxi11_batch "$(printf 'over %-8s' "${name%%/*}:")" "target at most 2x"
    done
    local vxi11_single=(run_once "for ((i = 0; i < $singles; i++)); do
        '$bin/zemoquery' '$vxi11_name' '*IDN?'; done > /dev/null")
    local single=(run_once "for ((i = 0; i < $singles; i++)); do
        '$bin/zemoquery' '$socket_name' '*IDN?'; done > /dev/null")
    echo "$singles *IDN?, one zemoquery each, over the socket against VXI-11 (time):"
    paired s single vxi11_single "" "target at most 1.5x"
}

# measure_terminal_stream: 64 MiB of a "DATA?" answer through zemosim's pseudo-terminal into
# zemorecv (the query goes in by zemosend before each timed read, and zemoreset empties the
# queue afterwards); the peer writes 64 MiB in 64 KiB pieces into the master of a raw
# pseudo-terminal of its own, which head reads from the slave.
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
    local peer=(run_once "python3 '$work/pty_copy.py' $terminal_bytes")
    local tool=(read_once "$serial_name" "$(zemorecv_read "$serial_name" $terminal_bytes)")
    pin_server 0
    echo "64 MiB through a pseudo-terminal, zemorecv from zemosim against a raw copy (throughput):"
    paired s peer tool "" "target at least 0.5x"
    pin_server "$all_cpus"
}

measurements=("${@:2}")
[ ${#measurements[@]} -gt 0 ] ||
    measurements=(send_lines receive_stream network_streams queries python startup protocol_queries
                  terminal_stream)
echo "bench/zemo.sh: $build ($(nproc) cores, $rounds rounds a pair; median time of each side," \
     "median ratio with its quartiles and extremes)"
for measurement in "${measurements[@]}"; do
    case $measurement in
    send_lines | receive_stream | network_streams | queries | python | startup | \
        protocol_queries | terminal_stream)
        "measure_$measurement" ;;
    *) echo "bench/zemo.sh: unknown measurement '$measurement'; expected send_lines, receive_stream, network_streams, queries, python, startup, protocol_queries or terminal_stream" >&2; exit 1 ;;
    esac
done
