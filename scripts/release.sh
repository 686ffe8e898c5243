#!/usr/bin/env bash
# release.sh [--out DIR] [--build DIR] [--only deb|zip] [--no-deps]: makes
# the release from clean trees of this checkout and prints where it is:
#   shiftlamp-send_VERSION_ARCH.deb   the command line for Debian and
#                                     Ubuntu, from the cli tree (CPack),
#                                     checked with lintian
#   shiftlamp-VERSION-windows.zip     both Windows programs, i686 (the
#                                     product) with the x86-64 pair in x64/,
#                                     README.txt, LICENSE.txt, SHA256SUMS
# in DIR (default build/release), building in a fresh folder (default
# build/release/trees, emptied first). VERSION is the project's.
#
# Two runs on the same commit give the same bytes, whatever the clock or the
# folder: every time stamp is the commit's (SOURCE_DATE_EPOCH, unless set),
# the programs are linked without one, and the archive is written in a fixed
# order with fixed modes and no extra fields. Installs what it needs first
# (scripts/install-deps.sh --release) unless --no-deps.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/release build= only= deps=1
usage() { echo "usage: $0 [--out DIR] [--build DIR] [--only deb|zip] [--no-deps]" >&2; exit 64; }
while [ $# -gt 0 ]; do
  case $1 in
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --only) [ $# -ge 2 ] && [[ $2 == deb || $2 == zip ]] || usage; only=$2; shift 2 ;;
    --no-deps) deps=; shift ;;
    *) usage ;;
  esac
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${build:-$out/trees}
say() { echo "release.sh: $*" >&2; }

[ -z "$deps" ] || "$root/scripts/install-deps.sh" --release

cd "$root"
if git rev-parse --git-dir >/dev/null 2>&1; then
  commit=$(git rev-parse --short HEAD)
  : "${SOURCE_DATE_EPOCH:=$(git log -1 --format=%ct)}"
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    say "warning: the checkout has uncommitted changes; the artefacts are not those of $commit alone"
  fi
else
  commit=unknown
  : "${SOURCE_DATE_EPOCH:=$(stat -c %Y "$root/CMakeLists.txt")}"
fi
export SOURCE_DATE_EPOCH

rm -rf "$build"
mkdir -p "$build"
configure() {  # configure PRESET TREE [CMAKE ARGS...]
  local preset=$1 tree=$2
  shift 2
  cmake --preset "$preset" -B "$tree" "$@" >"$tree.configure.log" 2>&1 ||
    { cat "$tree.configure.log" >&2; say "configuring $preset failed"; exit 1; }
}
compile() {  # compile TREE TARGET...
  local tree=$1
  shift
  cmake --build "$tree" --target "$@" >"$tree.build.log" 2>&1 ||
    { tail -n 40 "$tree.build.log" >&2; say "building $* in $tree failed"; exit 1; }
}
artefacts=()

if [ "$only" != zip ]; then
  say "the Debian package (cli tree)"
  configure cli "$build/cli"
  compile "$build/cli" shiftlamp-send shiftlamp_send_docs
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/cli/CMakeCache.txt")
  (cd "$build/cli" && cpack -G DEB -B "$build/cli/package" >"$build/cli.cpack.log" 2>&1) ||
    { cat "$build/cli.cpack.log" >&2; say "cpack failed"; exit 1; }
  deb=$(find "$build/cli/package" -maxdepth 1 -name "shiftlamp-send_${version}_*.deb")
  [ -n "$deb" ] || { say "cpack made no shiftlamp-send_${version}_*.deb"; exit 1; }
  # Errors and warnings stop the release; what lintian says only for
  # information is shown.
  findings=$(lintian --tag-display-limit 0 --info "$deb" 2>&1 | grep -v '^running with root privileges' || true)
  [ -z "$findings" ] || echo "$findings" >&2
  if grep -q '^[EW]: ' <<<"$findings"; then say "lintian found errors or warnings in $(basename "$deb")"; exit 1; fi
  cp "$deb" "$out/"
  artefacts+=("$out/$(basename "$deb")")
fi

if [ "$only" != deb ]; then
  for preset in windows windows64; do
    say "the Windows programs ($preset tree)"
    configure "$preset" "$build/$preset" -DSHIFTLAMP_TESTS=OFF -DSHIFTLAMP_BENCH=OFF
    compile "$build/$preset" shiftlamp shiftlamp-send
  done
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/windows/CMakeCache.txt")
  name=shiftlamp-$version-windows
  stage=$build/$name
  mkdir -p "$stage/x64"
  cp "$build/windows/src/app/shiftlamp.exe" "$build/windows/src/cli/shiftlamp-send.exe" "$stage/"
  cp "$build/windows64/src/app/shiftlamp.exe" "$build/windows64/src/cli/shiftlamp-send.exe" "$stage/x64/"
  # Texts for Windows: CRLF line ends, as Notepad of every version shows them.
  crlf() { sed 's/\r*$/\r/'; }
  sed "s/@PROJECT_VERSION@/$version/g" packaging/windows/README.txt.in | crlf >"$stage/README.txt"
  { cat LICENSE; echo; cat packaging/THIRD-PARTY.txt packaging/windows/THIRD-PARTY-WINDOWS.txt; } | crlf >"$stage/LICENSE.txt"
  files=(LICENSE.txt README.txt shiftlamp-send.exe shiftlamp.exe x64/shiftlamp-send.exe x64/shiftlamp.exe)
  (cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS)
  files+=(SHA256SUMS)
  find "$stage" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
  chmod 0755 "$stage"/*.exe "$stage"/x64/*.exe
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  zip=$out/$name.zip
  rm -f "$zip"
  # -X: no extra fields (owners, extended times); -D: no folder entries;
  # the names in a fixed order; times as UTC, the zone the archive's DOS
  # times are read in nowhere but written in here.
  (cd "$stage" && TZ=UTC0 zip -q -X -D -9 "$zip" "${files[@]}")
  artefacts+=("$zip")
fi

echo "Release $version of commit $commit (time stamps $(date -u -d "@$SOURCE_DATE_EPOCH" +%FT%TZ)):"
for artefact in "${artefacts[@]}"; do
  echo "  $artefact  $(stat -c %s "$artefact") bytes  sha256 $(sha256sum "$artefact" | cut -d' ' -f1)"
done
