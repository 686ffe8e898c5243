#!/bin/bash
# shiftlamp-send(1) against the program: the options under OPTIONS are the
# long options --help lists, the page names no option the program lacks,
# minus signs are escaped, and groff and man find nothing to warn about.
# Usage: man_page_test.sh PROGRAM PAGE.1.in [VERSION]
set -u
program=$1 page_in=$2 version=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

page=$work/shiftlamp-send.1
sed "s/@PROJECT_VERSION@/${version:-0.0.0}/g" "$page_in" >"$page"
grep -n '@[A-Za-z_]*@' "$page" && fail "placeholders left in the page"

# The page's text without the roff escapes an option may be written with
# (\-\-port, \fB\-\-port\fR, \&, \%).
plain() { sed -e 's/\\-/-/g' -e 's/\\[&%]//g' -e 's/\\f([A-Za-z][A-Za-z]//g' -e 's/\\f\[[A-Za-z]*\]//g' -e 's/\\f[A-Za-z0-9]//g'; }
long_options() { grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u; }
differ() {  # differ WHAT_A WHAT_B FILE_A FILE_B: what A has and B lacks
    local missing
    missing=$(comm -23 "$3" "$4" | tr '\n' ' ')
    [[ -z $missing ]] || fail "in $1, not in $2: $missing"
}

help=$("$program" --help) || fail "$program --help failed"
# The option column of --help: "  -h,--help", "  --port PORT".
printf '%s\n' "$help" | awk '/^ +-/ {print $1}' | tr ',' '\n' | long_options >"$work/help"
[[ -s $work/help ]] || fail "no options found in --help"
# The tags of OPTIONS: the line after each .TP.
plain <"$page" | awk '/^\.SH/ {options = ($2 == "OPTIONS")} options && tag {print; tag = 0} options && /^\.TP/ {tag = 1}' |
    long_options >"$work/documented"
plain <"$page" | grep -v '^\.\\"' | long_options >"$work/named"
differ "--help" "the man page's OPTIONS" "$work/help" "$work/documented"
differ "the man page's OPTIONS" "--help" "$work/documented" "$work/help"
differ "the man page" "--help" "$work/named" "$work/help"

# A bare - in an option reads as a hyphen (and breaks lines there).
grep -nE '(^|[[:space:]"(|[])--?[A-Za-z]' "$page" | grep -v '^[0-9]*:\.\\"' | sed 's/^/unescaped minus: /' | grep . &&
    fail "minus signs in options must be written \\-"

warnings=$(groff -ww -man -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff -ww: $warnings"
# What lintian runs on a page.
if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man --warnings: $warnings"
fi

if [[ -n $version ]]; then
    shown=$("$program" --version)
    [[ $shown == "shiftlamp-send $version" ]] || fail "--version says '$shown', the page's version is $version"
fi
[[ $failed == 0 ]] && echo "man page: $(wc -l <"$work/help") options, as --help lists them"
exit $failed
