#!/usr/bin/env bash
# Measures dirShift's start-up and throughput against realpath (the lexical peer) and two
# floors, all in one run on this machine, and prints the ratios:
#   per call:        dirShift -rmn PATH     vs  realpath -s -m --relative-to=DIR PATH
#                    and a C program that does nothing (the floor of a process launch);
#   20,000 paths:    dirShift -rmn PATH...  vs  realpath -s -m --relative-to=DIR PATH...
#                    and a C program that writes each argument and a newline with one write
#                    each (the floor that flushing every line sets).
# Each figure is the lowest, over several rounds in which the commands take turns, of the mean
# time per call; that keeps most of the noise of a shared machine out. Usage: bench/dirShift.sh [path/to/dirShift]   (default build/bin/dirShift)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$here/build/bin/dirShift}
[ -x "$program" ] || { echo "bench/dirShift.sh: no program at $program; run make first" >&2; exit 1; }
rounds=${ROUNDS:-15}
calls=${CALLS:-100}
bulk_calls=${BULK_CALLS:-5}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/noop.c" <<'C'
int main(void) { return 0; }
C
cat > "$work/writeargs.c" <<'C'
#include <string.h>
#include <unistd.h>
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        size_t length = strlen(argv[i]);
        argv[i][length] = '\n'; /* the terminator becomes the line end: one write per line */
        if (write(1, argv[i], length + 1) < 0)
            return 1;
    }
    return 0;
}
C
# timeit N PROGRAM ARGS...: runs the command N times with output to /dev/null and prints the
# mean wall-clock time per call in nanoseconds.
cat > "$work/timeit.c" <<'C'
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
int main(int argc, char** argv) {
    long n = strtol(argv[1], NULL, 10);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < n; ++i) {
        pid_t pid;
        int status;
        if (posix_spawn(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0 ||
            waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "timeit: %s failed\n", argv[2]);
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double ns = (double)(end.tv_sec - start.tv_sec) * 1e9 + (double)(end.tv_nsec - start.tv_nsec);
    printf("%.0f\n", ns / (double)n);
    return 0;
}
C
for tool in noop writeargs timeit; do
    cc -O2 -o "$work/$tool" "$work/$tool.c"
done
realpath_program=$(command -v realpath)

start=/ws/parts/sensor/src

# lower VAR N COMMAND...: times one batch of N calls and keeps the lower of it and $VAR.
lower() {
    local var=$1 n=$2 t
    shift 2
    t=$(PWD=$start "$work/timeit" "$n" "$@")
    if [ -z "${!var}" ] || [ "$t" -lt "${!var}" ]; then printf -v "$var" '%s' "$t"; fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; }
micro() { awk -v a="$1" 'BEGIN { printf "%8.1f us", a / 1000 }'; }
milli() { awk -v a="$1" 'BEGIN { printf "%8.2f ms", a / 1000000 }'; }

one=$start/../inc/defs.h
paths=()
for ((i = 0; i < 20000; ++i)); do
    paths+=("/ws/parts/sensor/src/module$((i % 50))/file$i.c")
done

# The commands take turns in every round, so that a busy spell of the machine hits all alike.
call_shift="" call_peer="" call_floor="" bulk_shift="" bulk_peer="" bulk_floor=""
for ((round = 0; round < rounds; ++round)); do
    lower call_shift "$calls" "$program" -rmn "$one"
    lower call_peer "$calls" "$realpath_program" -s -m --relative-to="$start" "$one"
    lower call_floor "$calls" "$work/noop"
    lower bulk_shift "$bulk_calls" "$program" -rmn "${paths[@]}"
    lower bulk_peer "$bulk_calls" "$realpath_program" -s -m --relative-to="$start" "${paths[@]}"
    lower bulk_floor "$bulk_calls" "$work/writeargs" "${paths[@]}"
done

echo "dirShift benchmark: $program ($(nproc) cores, lowest of $rounds rounds)"
echo "one path per call:"
echo "  dirShift -rmn                       $(micro "$call_shift")"
echo "  realpath -s -m --relative-to (peer) $(micro "$call_peer")"
echo "  launch floor (empty C program)      $(micro "$call_floor")"
echo "  dirShift / launch floor  $(ratio "$call_shift" "$call_floor")   (target at most 1.10x)"
echo "  dirShift / peer          $(ratio "$call_shift" "$call_peer")   (target below 1.00x)"
echo "20,000 paths in one call:"
echo "  dirShift -rmn                       $(milli "$bulk_shift")"
echo "  realpath -s -m --relative-to (peer) $(milli "$bulk_peer")"
echo "  write floor (one write per line)    $(milli "$bulk_floor")"
echo "  dirShift / write floor   $(ratio "$bulk_shift" "$bulk_floor")   (target at most 1.20x)"
echo "  dirShift / peer          $(ratio "$bulk_shift" "$bulk_peer")"
