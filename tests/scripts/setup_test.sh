#!/usr/bin/env bash
# setup.sh's decisions against a fake apt and dpkg (on PATH): a mirror whose update keeps
# failing, an optional package that cannot be installed, a required one that cannot, the
# i386 architecture on kernels with and without 32-bit support, and promtool unpacked
# from a package that downloads late, never, or without package lists.
set -uo pipefail
setup="$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# The fakes keep their state in $FAKE: installed packages, foreign architectures, and a
# log of every apt-get call. FAKE_UPDATE_FAILS: how many updates fail (naming an i386
# index when i386 is configured, else an amd64 one); FAKE_BROKEN: packages apt cannot
# install; FAKE_DOWNLOAD_FAILS: how many downloads fail; FAKE_NO_LISTS: apt knows no
# package before an update.
mkdir -p "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
if [ "$1" = -W ] && [ "$2" = "-f=\${Status}" ]; then
  grep -qx "$3" "$FAKE/installed" && printf 'install ok installed' && exit 0
  exit 1
fi
sed 's/$/ install ok installed/' "$FAKE/installed"
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE/arches" ;;
  --add-architecture) echo "$2" >>"$FAKE/arches" ;;
  --remove-architecture) grep -vx "$2" "$FAKE/arches" >"$FAKE/a"; mv "$FAKE/a" "$FAKE/arches" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "$*" >>"$FAKE/calls"
case "$1" in
  update)
    n=$(cat "$FAKE/updates" 2>/dev/null || echo 0); echo $((n + 1)) >"$FAKE/updates"
    if [ "$n" -lt "${FAKE_UPDATE_FAILS:-0}" ]; then
      arch=amd64; grep -qx i386 "$FAKE/arches" && arch=i386
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-$arch/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    shift; simulate=no; pkgs=()
    for a in "$@"; do case "$a" in -s) simulate=yes ;; -*) ;; *) pkgs+=("$a") ;; esac; done
    for p in "${pkgs[@]}"; do
      if printf '%s\n' $FAKE_BROKEN | grep -qx "$p"; then
        echo " $p : Depends: libwine (= 8.0) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
      fi
    done
    [ "$simulate" = yes ] || printf '%s\n' "${pkgs[@]}" >>"$FAKE/installed" ;;
  download)
    n=$(cat "$FAKE/downloads" 2>/dev/null || echo 0); echo $((n + 1)) >"$FAKE/downloads"
    if [ -n "${FAKE_NO_LISTS:-}" ] && ! grep -q '^update' "$FAKE/calls"; then
      echo "E: Unable to locate package prometheus"
      exit 100
    fi
    if [ "$n" -lt "${FAKE_DOWNLOAD_FAILS:-0}" ]; then
      echo "E: Failed to fetch http://mirror/debian/pool/main/p/prometheus/prometheus_2.42_amd64.deb"
      exit 100
    fi
    cp "$FAKE_DEB" . ;;
esac
EOF
chmod +x "$work/bin/"*
# The package apt hands out: a real .deb whose promtool says its version.
mkdir -p "$work/pkg/DEBIAN" "$work/pkg/usr/bin" "$work/pkg/usr/sbin"
printf 'Package: %s\nVersion: 2.42\nArchitecture: all\nMaintainer: M <m@example.com>\nDescription: d\n' \
  prometheus >"$work/pkg/DEBIAN/control"
printf '#!/bin/sh\necho "promtool, version 2.42.0"\n' >"$work/pkg/usr/bin/promtool"
printf '#!/bin/sh\necho server\n' >"$work/pkg/usr/sbin/prometheus"
chmod 755 "$work/pkg/usr/bin/promtool" "$work/pkg/usr/sbin/prometheus"
export FAKE_DEB="$work/prometheus_2.42.0_all.deb"
dpkg-deb --build --root-owner-group "$work/pkg" "$FAKE_DEB" >/dev/null

# scenario NAME RUNS_32BIT UPDATE_FAILS BROKEN [DOWNLOAD_FAILS]: runs setup.sh test in a
# fresh fake machine (machine NAME makes one, run_setup runs setup in the last one made)
machine() {
  export FAKE="$work/$1"
  mkdir -p "$FAKE"
  : >"$FAKE/installed"
  : >"$FAKE/arches"
}
run_setup() {
  export KESTRUNE_RUNS_32BIT=$1 FAKE_UPDATE_FAILS=$2 FAKE_BROKEN=$3 FAKE_DOWNLOAD_FAILS=${4:-0}
  PATH="$work/bin:$PATH" KESTRUNE_APT_PAUSE=0 KESTRUNE_SETUP_REPORT="$FAKE/report.txt" \
    KESTRUNE_TOOLS="$FAKE/tools" bash "$setup" test >"$FAKE/out" 2>&1
  status=$?
}
scenario() {
  machine "$1"
  shift
  run_setup "$@"
}
expect() {  # expect WHAT COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
    sed 's/^/    /' "$FAKE/out" >&2
  fi
}
has() { grep -q -- "$2" "$FAKE/$1"; }
lacks() { ! grep -q -- "$2" "$FAKE/$1"; }

# A mirror whose updates all fail, on a kernel with 32-bit support, where wine32 cannot be
# installed: three tries named in one line, the required set and 64-bit Wine installed,
# the 32-bit path dropped with apt's reason, and i386 removed again.
scenario mirror-broken yes 99 wine32:i386
expect "setup succeeds on a broken mirror" test "$status" -eq 0
expect "the first update is tried three times" test "$(grep -c '^update' "$FAKE/calls")" -ge 3
expect "the failing index is named once" \
  test "$(grep -c 'still fails after 3 tries; going on without: http://mirror/' "$FAKE/out")" -ge 1
expect "the required set is installed" has installed '^cmake$'
expect "64-bit Wine is installed" has installed '^wine64$'
expect "the 32-bit path is dropped with the reason" has report.txt "^wine32	missing	the mirror's i386 index failed"
expect "i386 is removed again" test ! -s "$FAKE/arches"

# An index that heals on the second try: nothing is named; i386 stays where wine32
# installs.
scenario mirror-heals yes 1 ""
expect "setup succeeds" test "$status" -eq 0
expect "no index is named" lacks out 'going on without'
expect "promtool alone is unpacked, and runs" \
  test "$("$FAKE/tools/prometheus/usr/bin/promtool" --version)" = "promtool, version 2.42.0" -a \
  ! -e "$FAKE/tools/prometheus/usr/sbin"
expect "the 32-bit path is taken" has report.txt "^wine32	installed"
expect "i386 stays" has arches '^i386$'

# An optional package that cannot be installed, on a kernel without 32-bit support: the
# 64-bit path is dropped and named, i386 is never added.
scenario no-32bit no 0 "wine64"
expect "setup succeeds" test "$status" -eq 0
expect "the 64-bit Wine path is dropped with apt's reason" \
  has report.txt "^wine	missing	wine wine64 .* could not be installed: .*held broken packages\|^wine	missing	.*Depends"
expect "the 32-bit path names the probe" has report.txt "^wine32	missing	switched off"
expect "i386 is never added" test ! -s "$FAKE/arches"
expect "no install of wine32 is tried" lacks calls 'wine32'

# A required package that cannot be installed stops setup, naming it and apt's reason,
# before any optional package is tried.
scenario required-broken yes 0 "libgtest-dev"
expect "setup fails" test "$status" -ne 0
expect "the package is named with apt's reason" has out '  libgtest-dev: .*Depends'
expect "no optional path is tried" lacks calls 'wine'

# promtool: a download that fails twice goes through on the third try; one that keeps
# failing stops setup with apt's reason and leaves no tree; an unpacked one is kept.
scenario promtool-late no 0 "" 2
promtool="tools/prometheus/usr/bin/promtool"
expect "a late download still gives promtool" test "$status" -eq 0 -a -x "$FAKE/$promtool"
expect "each failed try is said" test "$(grep -c 'download prometheus failed (try' "$FAKE/out")" -eq 2
scenario promtool-never no 0 "" 99
expect "setup fails" test "$status" -ne 0
expect "it says why, with apt's reason" \
  has out 'cannot get promtool.*download prometheus: E: Failed to fetch'
expect "three tries" test "$(grep -c '^download' "$FAKE/calls")" -eq 3
expect "no tree is left" test ! -e "$FAKE/tools/prometheus" -a ! -e "$FAKE/tools/prometheus.new"
expect "no optional path is tried" lacks calls 'wine'
: >"$FAKE/calls"
run_setup no 0 "" 0
expect "the next setup gets it" test "$status" -eq 0 -a -x "$FAKE/$promtool"
: >"$FAKE/calls"
run_setup no 0 "" 0
expect "and then keeps it" lacks calls '^download'

# Everything installed but no package lists yet: the download that finds no prometheus
# fetches them and goes through.
machine no-lists
cp "$work/promtool-never/installed" "$FAKE/installed"
export FAKE_NO_LISTS=yes
run_setup no 0 ""
unset FAKE_NO_LISTS
expect "setup succeeds without lists" test "$status" -eq 0 -a -x "$FAKE/$promtool"
expect "one update, between two downloads" \
  test "$(grep -E '^(update|download)' "$FAKE/calls" | cut -d' ' -f1 | tr '\n' ' ')" = "download update download "

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
