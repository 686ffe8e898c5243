#!/bin/bash
# The bash completion of shiftlamp-send, driven the way bash drives it
# (COMP_WORDS, COMP_CWORD, COMP_LINE, the function `complete -p` names), in
# plain bash and with bash-completion loaded where it is installed: the
# options --help lists, the ports of --list through the program on the PATH,
# .vcd files and folders for --trace, nothing for numbers, and nothing at
# all, silently, when the program fails or is missing.
# Usage: completion_test.sh COMPLETION PROGRAM
set -u
completion=$1 program=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A stand-in first on the PATH whose --list is fixed; the rest is the program's.
mkdir -p "$work/bin" "$work/broken" "$work/none" "$work/traces/runs"
cat >"$work/bin/shiftlamp-send" <<EOF
#!/bin/sh
if [ "\$1" = --list ]; then
    echo '/dev/ttyACM0  usb 2341:0043  Arduino (www.arduino.cc) Uno  cdc_acm  /dev/serial/by-id/usb-Arduino_Uno_7563-if00'
    echo '/dev/ttyAMA0  console  (never opened: a built-in serial port, which on many machines carries the system console)'
    echo '/dev/ttyUSB0  usb 0403:6001  FTDI FT232R USB UART  ftdi_sio'
    exit 0
fi
exec "$program" "\$@"
EOF
printf '#!/bin/sh\necho "it broke" >&2\nexit 1\n' >"$work/broken/shiftlamp-send"
chmod +x "$work/bin/shiftlamp-send" "$work/broken/shiftlamp-send"
touch "$work/traces/a.vcd" "$work/traces/b.VCD" "$work/traces/notes.txt"
options=$("$program" --help | awk '/^ +-/ {print $1}' | tr ',' '\n' | grep -- '^--' | LC_ALL=C sort | tr '\n' ' ')

modes=(plain)
bash_completion=/usr/share/bash-completion/bash_completion
if [[ -f $bash_completion ]]; then modes+=(bash-completion); else echo "bash-completion not installed: plain bash only"; fi
failed=0
for mode in "${modes[@]}"; do
    LC_ALL=C PATH=$work/bin:$PATH bash --norc --noprofile -s "$mode" "$completion" "$options" "$work" "$bash_completion" <<'EOF' || failed=1
mode=$1 completion=$2 options=$3 work=$4
[[ $mode == bash-completion ]] && source "$5"
source "$completion"
failed=0
fail() { echo "FAIL [$mode]: $*"; failed=1; }
spec=$(complete -p shiftlamp-send) || { fail "complete -p names no function for shiftlamp-send"; exit 1; }
function=$(sed -n 's/.* -F \([^ ]*\) .*/\1/p' <<<"$spec")
declare -F "$function" >/dev/null || { fail "'$spec' names no function"; exit 1; }

# expect REPLIES WORD...: the sorted replies to the words, the cursor at the
# end of the last; "=" is a word of its own, as bash splits it.
lookup=$PATH
expect() {
    local want=$1 line= word previous= got
    shift
    for word in "$@"; do
        [[ $word == "=" || $previous == "=" || -z $line ]] && line+=$word || line+=" $word"
        previous=$word
    done
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
    PATH=$lookup "$function" shiftlamp-send "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" 2>"$work/stderr"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u | tr '\n' ' ')
    [[ $got == "$want" || ( -z $want && $got == " " ) ]] || fail "'$line' completes to '$got', not '$want'"
    # compopt outside a real completion is the harness's complaint, not the user's.
    grep -v 'compopt: not currently executing' "$work/stderr" | grep . && fail "'$line' printed on the terminal"
}

ports='/dev/serial/by-id/usb-Arduino_Uno_7563-if00 /dev/ttyACM0 /dev/ttyUSB0 '
expect "$options" shiftlamp-send --
expect "- $options" shiftlamp-send --port /dev/ttyUSB0 ''
expect "$ports" shiftlamp-send --port ''
expect '/dev/ttyUSB0 ' shiftlamp-send --invert --port /dev/ttyU
expect "$ports" shiftlamp-send --port = ''
expect 'text tsv ' shiftlamp-send --list --format ''
expect 'tsv ' shiftlamp-send --list --format = ts
for option in --step-ms --hold-ms --repeat; do expect '' shiftlamp-send "$option" ''; done
cd "$work/traces"
expect 'a.vcd b.VCD runs ' shiftlamp-send --trace ''
expect 'runs ' shiftlamp-send 0xA5 --trace r
for lookup in "$work/broken" "$work/none"; do
    expect '' shiftlamp-send --port ''
    expect '' shiftlamp-send --
done
exit $failed
EOF
done
[[ $failed == 0 ]] && echo "completion: ${modes[*]}: options, ports, traces as expected"
exit $failed
