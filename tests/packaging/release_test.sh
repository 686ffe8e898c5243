#!/usr/bin/env bash
# release_test.sh RELEASE_SH WORK VERSION: makes the release twice, in two
# folders, and checks what a user would install or unpack.
set -uo pipefail
release=$1 work=$2 version=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work"
mkdir -p "$work"

"$release" --no-deps --out "$work/one" || { echo "FAIL: the release could not be made"; exit 1; }
deb=$work/one/shiftlamp-send_${version}_$(dpkg --print-architecture).deb
zip=$work/one/shiftlamp-$version-windows.zip
[ -f "$deb" ] && [ -f "$zip" ] || { echo "FAIL: no $deb or no $zip"; exit 1; }

# The package: exactly these files, root's, with Debian's modes.
expected="-rw-r--r-- root/root ./usr/share/bash-completion/completions/shiftlamp-send
-rw-r--r-- root/root ./usr/share/doc/shiftlamp-send/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/shiftlamp-send/copyright
-rw-r--r-- root/root ./usr/share/man/man1/shiftlamp-send.1.gz
-rwxr-xr-x root/root ./usr/bin/shiftlamp-send"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort)
[ "$files" = "$(sort <<<"$expected")" ] || fail "the package holds:"$'\n'"$files"
for field in "Package: shiftlamp-send" "Version: $version" "Section: electronics" "Depends: libc6"; do
  dpkg-deb -f "$deb" | grep -q "^$field" || fail "the control file has no '$field'"
done
apt-get install --simulate "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt cannot install the package here"; }

# Unpacked into a throw-away root: the program, its page and its completion.
root=$work/root
dpkg-deb -x "$deb" "$root"
[ "$("$root/usr/bin/shiftlamp-send" --version)" = "shiftlamp-send $version" ] || fail "--version is not $version"
page=$(MANWIDTH=80 man -l "$root/usr/share/man/man1/shiftlamp-send.1.gz" 2>&1)
grep -q "shiftlamp-send $version" <<<"$page" && grep -q "^SYNOPSIS" <<<"$page" || fail "man does not show the page"
zcat "$root/usr/share/doc/shiftlamp-send/changelog.gz" | head -n 1 | grep -q "^shiftlamp-send ($version)" ||
  fail "the changelog does not begin with $version"
completion=$(bash -c 'source "$1" && complete -p shiftlamp-send' _ "$root/usr/share/bash-completion/completions/shiftlamp-send" 2>&1)
grep -q -- '-F ' <<<"$completion" || fail "the completion registers nothing: $completion"

# The archive: the i686 pair, the x86-64 pair in x64/, texts with CRLF
# line ends, sums that hold.
names=$(zipinfo -1 "$zip" | sort)
want=$(printf '%s\n' LICENSE.txt README.txt SHA256SUMS shiftlamp-send.exe shiftlamp.exe x64/shiftlamp-send.exe x64/shiftlamp.exe)
[ "$names" = "$want" ] || fail "the archive holds:"$'\n'"$names"
unpacked=$work/unzipped
mkdir -p "$unpacked"
(cd "$unpacked" && unzip -q "$zip" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"
for text in README.txt LICENSE.txt; do
  [ -s "$unpacked/$text" ] && ! grep -qv $'\r$' "$unpacked/$text" || fail "$text has a line without CRLF"
done
grep -q "Shiftlamp $version" "$unpacked/README.txt" || fail "README.txt does not name version $version"
for exe in shiftlamp.exe shiftlamp-send.exe; do
  file "$unpacked/$exe" | grep -q 'PE32 executable.*80386' || fail "$exe is not an i686 program"
  file "$unpacked/x64/$exe" | grep -q 'PE32+ executable.*x86-64' || fail "x64/$exe is not an x86-64 program"
done

# A second build of the same commit, in another folder and at another
# time, gives the same archive bytes.
"$release" --no-deps --only zip --out "$work/two" --build "$work/elsewhere/trees" >/dev/null ||
  fail "the second release could not be made"
cmp "$zip" "$work/two/shiftlamp-$version-windows.zip" || fail "two builds of the same commit gave different archives"

[ $failures -eq 0 ] && echo "release: package and archive as shipped; the archive builds the same twice"
exit $((failures > 0))
