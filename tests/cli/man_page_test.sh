#!/bin/bash
# shiftlamp-send(1), as configure writes it, against the program: the
# options under OPTIONS are the long options --help lists, the page names
# no option the program lacks, minus signs are escaped, the page's version
# is the program's, and groff and man find nothing to warn about.
# Usage: man_page_test.sh PROGRAM PAGE
set -u
program=$1 page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

[[ -s $page ]] || { echo "FAIL: no page at $page"; exit 1; }
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

# A bare - in an option reads as a hyphen (and breaks lines there): every
# minus of an option word, inside its name too (\-\-step\-ms), whatever
# font escape comes before it (\fB\-\-port\fR).
perl -ne 'next if /^\.\\"/; s/\\f(\(..|\[[^]]*\]|.)/ /g;
    while (/(?<![\w\\-])((?:\\?-){1,2}\w+(?:\\?-\w+)*)/g) { my $o = $1; print "unescaped minus: $.: $o\n" if $o =~ /(?<!\\)-/ }' \
    "$page" | grep . && fail "minus signs in options must be written \\-"

warnings=$(groff -ww -man -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff -ww: $warnings"
# What lintian runs on a page.
if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man --warnings: $warnings"
fi

# .TH's fourth field is the source: "shiftlamp\-send VERSION".
version=$(awk '/^\.TH/ { match($0, /"[^"]*"/); s = substr($0, RSTART + 1, RLENGTH - 2); gsub(/\\-/, "-", s); print s; exit }' "$page")
shown=$("$program" --version)
[[ $shown == "$version" ]] || fail "--version says '$shown', the page '$version'"
[[ $failed == 0 ]] && echo "man page: $(wc -l <"$work/help") options, as --help lists them"
exit $failed
