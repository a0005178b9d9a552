#!/usr/bin/env bash
# Measures dirShift against floors it compiles itself and against realpath (the lexical peer),
# in pairs run side by side, and prints the ratio of each pair:
#   per call:     dirShift -rmn PATH  vs  an empty C program linked static-pie, as dirShift is
#                 (the floor of a process launch of the same link mode; target at most 1.10x),
#                 and vs  realpath -s -m --relative-to=DIR PATH (target below 1.00x);
#   20,000 paths: dirShift -rmn, -rsn, -rmb -rsn and -rmb alone, each  vs  a C program that
#                 takes the same command line and writes each path argument back as a line
#                 with one write each: as many lines as dirShift prints, each flushed on its
#                 own, and the same arguments to start with (targets 1.2x, 1.2x and 1.3x;
#                 -rmb alone does no path work and shows what the class itself costs);
#                 and -rmn vs realpath;
#   2,000 paths:  dirShift -rmn -p on a tree reached through a symbolic link, made here, vs
#                 the same write floor (target at most 3.5x).
# The two sides of a pair take turns call by call, in alternating order, so that a busy spell
# of the machine hits both alike; every round gives one ratio per pair, and the script prints
# the median ratio over the rounds with its quartiles and extremes as the spread.
# Usage: bench/dirShift.sh [path/to/dirShift]   (default build/bin/dirShift; about 20 seconds)
# Environment: ROUNDS (default 21), CALLS per side and round for one path (default 60),
# BULK_CALLS per side and round for many paths (default 3).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$here/build/bin/dirShift}
case $program in /*) ;; *) program=$PWD/$program ;; esac # the pairs run from other directories
[ -x "$program" ] || { echo "bench/dirShift.sh: no program at $program; run make first" >&2; exit 1; }
rounds=${ROUNDS:-21}
calls=${CALLS:-60}
bulk_calls=${BULK_CALLS:-3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/noop.c" <<'C'
int main(void) { return 0; }
C
cat > "$work/writeargs.c" <<'C'
#include <string.h>
#include <unistd.h>
int main(int argc, char** argv) {
    int first = 1;
    while (first < argc && argv[first][0] == '-') /* the options, as dirShift reads them */
        ++first;
    for (int i = first; i < argc; ++i) {
        size_t length = strlen(argv[i]);
        argv[i][length] = '\n'; /* the terminator becomes the line end: one write per line */
        if (write(1, argv[i], length + 1) < 0)
            return 1;
    }
    return 0;
}
C
# pairtime N FILE_A FILE_B: each file holds a command line, its words ended by NUL. Runs the
# two commands N times each, output to /dev/null, taking turns (A B, then B A, ...), and prints
# the mean wall-clock time per call of each in nanoseconds.
cat > "$work/pairtime.c" <<'C'
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
static char** readCommand(const char* file) {
    int fd = open(file, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) { perror(file); exit(1); }
    char* text = malloc((size_t)st.st_size + 1);
    if (text == NULL || read(fd, text, (size_t)st.st_size) != st.st_size) { perror(file); exit(1); }
    close(fd);
    size_t words = 0;
    for (off_t i = 0; i < st.st_size; ++i)
        words += text[i] == '\0';
    char** argv = malloc((words + 1) * sizeof *argv);
    size_t word = 0;
    for (off_t i = 0; i < st.st_size; i += (off_t)strlen(text + i) + 1)
        argv[word++] = text + i;
    argv[word] = NULL;
    return argv;
}
static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}
static double runOnce(char** argv, posix_spawn_file_actions_t* actions) {
    pid_t pid;
    int status;
    double start = now();
    if (posix_spawn(&pid, argv[0], actions, NULL, argv, environ) != 0 ||
        waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "pairtime: %s failed\n", argv[0]);
        exit(1);
    }
    return now() - start;
}
int main(int argc, char** argv) {
    if (argc != 4) { fprintf(stderr, "usage: pairtime N FILE_A FILE_B\n"); return 1; }
    long n = strtol(argv[1], NULL, 10);
    char** a = readCommand(argv[2]);
    char** b = readCommand(argv[3]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    double ta = 0, tb = 0;
    for (long i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            ta += runOnce(a, &actions);
            tb += runOnce(b, &actions);
        } else {
            tb += runOnce(b, &actions);
            ta += runOnce(a, &actions);
        }
    }
    printf("%.0f %.0f\n", ta / (double)n, tb / (double)n);
    return 0;
}
C
# Both floors are linked as dirShift is (static-pie), so that a launch costs them what it costs
# dirShift.
cc -O2 -static-pie -o "$work/noop" "$work/noop.c"
cc -O2 -static-pie -o "$work/writeargs" "$work/writeargs.c"
cc -O2 -o "$work/pairtime" "$work/pairtime.c"
realpath_program=$(command -v realpath)

# The lexical modes run from /ws/parts/sensor/src, which need not exist, with the related root
# /ws/parts/sensor.
start=/ws/parts/sensor/src
export CURRENT_PART=sensor PART_SRC_ROOT=/ws/parts/sensor

# -p resolves on a real tree: ws is a symbolic link to export/ws, and the program starts in
# ws/parts/sensor/src with PWD naming it through the link.
tree=$work/tree
mkdir -p "$tree/export/ws/parts/sensor/src"
ln -s export/ws "$tree/ws"
physical_start=$tree/ws/parts/sensor/src
for ((m = 0; m < 50; ++m)); do
    mkdir "$physical_start/module$m"
done

# command_file NAME WORDS...: writes the command line NAME for pairtime.
command_file() {
    local name=$1
    shift
    printf '%s\0' "$@" > "$work/$name"
}

one=$start/../inc/defs.h
absolute=() relative=() linked=()
for ((i = 0; i < 20000; ++i)); do
    absolute+=("$start/module$((i % 50))/file$i.c")
    relative+=("module$((i % 50))/file$i.c")
done
for ((i = 0; i < 2000; ++i)); do
    touch "$physical_start/module$((i % 50))/file$i.c"
    linked+=("$physical_start/module$((i % 50))/file$i.c")
done

command_file call_shift "$program" -rmn "$one"
command_file call_floor "$work/noop"
command_file call_peer "$realpath_program" -s -m --relative-to="$start" "$one"
command_file rmn "$program" -rmn "${absolute[@]}"
command_file rsn "$program" -rsn "${absolute[@]}"
command_file rmb_rsn "$program" -rmb -rsn "${relative[@]}"
command_file rmb "$program" -rmb "${relative[@]}"
command_file rmn_p "$program" -rmn -p "${linked[@]}"
command_file bulk_peer "$realpath_program" -s -m --relative-to="$start" "${absolute[@]}"
command_file rmn_floor "$work/writeargs" -rmn "${absolute[@]}"
command_file rsn_floor "$work/writeargs" -rsn "${absolute[@]}"
command_file rmb_rsn_floor "$work/writeargs" -rmb -rsn "${relative[@]}"
command_file rmb_floor "$work/writeargs" -rmb "${relative[@]}"
command_file rmn_p_floor "$work/writeargs" -rmn -p "${linked[@]}"

# The pairs: name, working directory, PWD, calls per round, command A, command B.
pairs=(
    "call_floor / $start $calls call_shift call_floor"
    "call_peer / $start $calls call_shift call_peer"
    "rmn / $start $bulk_calls rmn rmn_floor"
    "rsn / $start $bulk_calls rsn rsn_floor"
    "rmb_rsn / $start $bulk_calls rmb_rsn rmb_rsn_floor"
    "rmb / $start $bulk_calls rmb rmb_floor"
    "rmn_p $physical_start $physical_start $bulk_calls rmn_p rmn_p_floor"
    "bulk_peer / $start $bulk_calls rmn bulk_peer"
)

# Every round runs every pair once and appends "TIME_A TIME_B" to the pair's file.
for ((round = 0; round < rounds; ++round)); do
    for pair in "${pairs[@]}"; do
        read -r name dir pwd n a b <<< "$pair"
        (cd "$dir" && PWD=$pwd "$work/pairtime" "$n" "$work/$a" "$work/$b") >> "$work/$name.times"
    done
done

# summary NAME UNIT: the median of each side's time and the median ratio A/B with its
# quartiles and extremes, from the rounds of pair NAME; UNIT is us or ms.
summary() {
    awk -v unit="$2" -f "$here/bench/paired_stats.awk" -f <(printf '%s' '
        END {
            scale = unit == "us" ? 1e3 : 1e6
            printf "%8.2f %s vs %8.2f %s   %.2fx (quartiles %.2fx to %.2fx, all %.2fx to %.2fx)",
                at(a, n, 0.5) / scale, unit, at(b, n, 0.5) / scale, unit,
                at(r, n, 0.5), at(r, n, 0.25), at(r, n, 0.75), r[1], r[n]
        }') "$work/$1.times"
}

echo "dirShift benchmark: $program ($(nproc) cores, $rounds rounds; median time of each side, median ratio)"
echo "one path per call:"
echo "  -rmn / static-pie empty C program      $(summary call_floor us)   target at most 1.10x"
echo "  -rmn / realpath -s -m --relative-to    $(summary call_peer us)   target below 1.00x"
echo "20,000 paths in one call, against one write per path of the same command line:"
echo "  -rmn                                   $(summary rmn ms)   target at most 1.20x"
echo "  -rsn                                   $(summary rsn ms)   target at most 1.20x"
echo "  -rmb -rsn                              $(summary rmb_rsn ms)   target at most 1.30x"
echo "  -rmb alone (the class, no path work)   $(summary rmb ms)"
echo "  -rmn / realpath -s -m --relative-to    $(summary bulk_peer ms)"
echo "2,000 paths of a tree reached through a symbolic link, against the same floor:"
echo "  -rmn -p                                $(summary rmn_p ms)   target at most 3.50x"
