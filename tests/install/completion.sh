#!/bin/sh
# Loads the tools' bash completion from COMPLETIONS_DIR as bash-completion does, on the first
# completion of each program, and checks what it offers for command lines typed up to the
# cursor.
# Usage: completion.sh SOURCE_DIR WORK_DIR COMPLETIONS_DIR
src=$1 work=$2 completions=$3
. "$src/tests/install/testlib.sh"

rm -rf "$work" && mkdir -p "$work/user/completions" "$work/cwd" || exit 1
cp "$completions"/* "$work/user/completions/" || fail "copying $completions"
: >"$work/cwd/dmm.inst"

# Each case: the command line up to the cursor, then "|", then the words offered, sorted, and
# "(nospace)" when the line is kept open after the word for more of it.
cases='zemoquery |hislip/ serial/ sim/ socket/ usbtmc/ vxi11/ (nospace)
zemoquery -|--help --version -L -T -b -e -i -k -r -s -t
zemoquery -s -T c|cr crlf
zemoquery -b -T lf s|serial/ sim/ socket/ (nospace)
zemoquery -t |
zemoquery -t 500 s|serial/ sim/ socket/ (nospace)
zemoquery sim/|sim/echo sim/sink sim/source
zemoquery sim/echo |
zemoquery vxi11/192.168.0.100:1024/i|
zemosend sim/so|sim/source
zemosend serial/ttyUSB0/|serial/ttyUSB0/baud= serial/ttyUSB0/flow= serial/ttyUSB0/format= serial/ttyUSB0/term= (nospace)
zemosend serial/ttyUSB0/baud=9600/flow=x|xonxoff
zemosend serial/ttyUSB0/term=c|cr crlf
zemorecv -|-c -t
zemorecv -c 19 -t 5 sim/e|sim/echo
zemorecv sim/source/|sim/source/chunks= sim/source/fail= sim/source/timeout= (nospace)
zemorecv sim/source/chunks=4,0/timeout=re|read
zemorecv sim/sink/fail=|clear close open read timeout write
zemoreset |hislip/ serial/ sim/ socket/ usbtmc/ vxi11/ (nospace)
zemoreset -|
zemoreset hislip/192.168.0.100 |
zemosim -|-H -a -l -p -r -s -v
zemosim -a :|:1
zemosim -a 1|127.0.0.1
zemosim -v |
zemosim -p dm|dmm.inst
zemoctl -|--help --version -t
zemoctl -t 100 so|socket/ (nospace)
zemoctl vxi11/192.168.0.100/inst0 |clear local lock lock= remote stb trigger unlock wait-srq wait-srq=
zemoctl socket/192.168.0.100 lo|local lock lock=
zemoctl socket/192.168.0.100 stb t|trigger
zemoctl -t 9000 hislip/192.168.0.100 stb w|wait-srq wait-srq='

# The runner splits each line into words as bash does, "=" and ":" words of their own, sets
# the completion variables, loads the program's completion through bash-completion's loader
# and calls the function it registered.
cat >"$work/complete.bash" <<'RUNNER'
. /usr/share/bash-completion/bash_completion
compopt() { [[ " $* " == *" -o nospace "* ]] && nospace=1; return 0; }
while IFS='|' read -r line expected; do
    COMP_WORDS=()
    for token in $line; do
        while [[ $token =~ ^([=:]+|[^=:]+)(.*)$ ]]; do
            COMP_WORDS+=("${BASH_REMATCH[1]}")
            token=${BASH_REMATCH[2]}
        done
    done
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
    program=${COMP_WORDS[0]}
    complete -p "$program" >/dev/null 2>&1 || __load_completion "$program" ||
        { echo "no completion for $program"; continue; }
    function=$(complete -p "$program" | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
    COMPREPLY=() nospace=
    "$function" "$program" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    offered=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | xargs)
    [[ $nospace ]] && offered="$offered (nospace)"
    [[ $offered == "$expected" ]] || printf '%s: offered "%s", expected "%s"\n' "$line" "$offered" "$expected"
done
RUNNER
check_run "completions" 0 '' '' sh -c 'cd "$1/cwd" && printf "%s\n" "$2" |
    BASH_COMPLETION_USER_DIR="$1/user" bash --norc --noprofile "$1/complete.bash"' sh "$work" "$cases"
finish
