#!/usr/bin/env bash
# Installs the Debian packages one kind of work needs:
#   setup.sh run      building and running the Linux programs (scripts/run.sh)
#   setup.sh package  that, plus what the Debian packages and the MSI are made with
#   setup.sh test     everything the tests need (promtool too, unpacked from its package
#                     but not installed: see below), and the optional packages of the
#                     test paths that only some machines can take (see "optional" below)
# Without an argument: test. Idempotent: apt runs only when a package is missing.
#
# Package mirrors misbehave (an index of the wrong size, a suite in mid-sync), so:
# - `apt-get update` is tried three times; an index that still fails is named in one line
#   and setup goes on with what was fetched;
# - a required package that cannot be installed stops setup, naming it and apt's reason;
# - an optional package never stops it: the test path that needs it is not taken, and
#   the setup report (build-setup/report.txt, one line per optional path) says why; the
#   test command's summary prints it.
# The i386 architecture is added only where the kernel runs 32-bit programs (probed by
# executing one) and removed again when the 32-bit packages cannot be installed, so that
# apt on this machine behaves afterwards as it did before.
#
# For the script's own test: KESTRUNE_APT_PAUSE (seconds between tries, default 15),
# KESTRUNE_RUNS_32BIT=yes|no (the probe's answer), KESTRUNE_SETUP_REPORT (the report's
# path) and KESTRUNE_TOOLS (promtool's folder) may be set; apt-get and dpkg are taken
# from PATH.
set -euo pipefail
cd "$(dirname "$0")/.."

run=(
  build-essential cmake ninja-build pkg-config git python3
  libssl-dev openssl ca-certificates
  libsqlite3-dev
  libcurl4-openssl-dev
  libnss3-dev
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev qt6-wayland
)
package=(
  "${run[@]}" dpkg-dev file
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
  msitools wixl
)
test=(
  "${package[@]}"
  clang-format clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  sqlite3 libnss3-tools default-jre-headless
  xvfb xauth x11-utils imagemagick xdotool trayer
  dbus dunst weston at-spi2-core gir1.2-atspi-2.0 python3-gi
  lintian man-db systemd prometheus-node-exporter curl
)
# Optional paths of the test command: name, what the path is, its packages. The 32-bit
# one comes last, after everything else is in place, and only where it can work.
optional_names=(wine live)
optional_what=("the Windows suite under 64-bit Wine and the MSI test"
  "the packages' live test under a booted systemd")
optional_packages=("wine wine64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
  "debootstrap systemd-container")
wine32_what="the Windows suite on the shipped i686 build under 32-bit Wine"

set_name=${1:-test}
case "$set_name" in
  run) required=("${run[@]}") ;;
  package) required=("${package[@]}") ;;
  test) required=("${test[@]}") ;;
  *)
    echo "setup.sh: unknown package set '$set_name' (run, package or test)" >&2
    exit 2
    ;;
esac

pause=${KESTRUNE_APT_PAUSE:-15}
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
report=${KESTRUNE_SETUP_REPORT:-build-setup/report.txt}
updated=no
update_failures="" # the indexes the last update could not fetch, one a line

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing_of() { # prints the packages of "$@" that are not installed
  local p
  for p in "$@"; do installed "$p" || printf '%s\n' "$p"; done
}

apt_update() {
  local try what
  for try in 1 2 3; do
    if apt-get update -q >"$log" 2>&1; then
      updated=yes
      update_failures=""
      return 0
    fi
    if [ "$try" -lt 3 ]; then
      echo "setup: apt-get update failed (try $try of 3), trying again in ${pause} s" >&2
      sleep "$pause"
    fi
  done
  updated=yes
  update_failures=$(grep -E '^(E|W): Failed to fetch' "$log" | sed -E 's/^(E|W): Failed to fetch //' || true)
  what=$(printf '%s\n' "$update_failures" | sed -E 's/ .*//' | grep . | tr '\n' ' ' || true)
  [ -n "$what" ] || what=$(grep -E '^E:' "$log" | head -n 2 | tr '\n' ' ' || true)
  echo "setup: apt-get update still fails after 3 tries; going on without: ${what:-(apt named nothing)}" >&2
}

apt_reason=""
apt_install() { # apt_install PKG...: installs all or none; apt_reason says why not
  local try
  for try in 1 2; do
    if apt-get install -y -q --no-install-recommends "$@" 2>&1 | tee "$log"; then
      return 0
    fi
    apt_reason=$(grep -E '^E:' "$log" | grep -v 'Unable to correct problems' | head -n 3 |
      tr '\n' ' ' || true)
    [ -n "$apt_reason" ] || apt_reason=$(grep -E '^E:' "$log" | head -n 1 || true)
    [ -n "$apt_reason" ] || apt_reason=$(tail -n 1 "$log")
    # A download that failed while the mirror synced may go through a moment later.
    grep -q 'Failed to fetch' "$log" || return 1
    [ "$try" -lt 2 ] && sleep "$pause"
  done
  return 1
}

culprits() { # names each package of "$@" that apt cannot install, with apt's reason
  local p reason
  for p in "$@"; do
    if ! apt-get install -s -q --no-install-recommends "$p" >"$log" 2>&1; then
      reason=$(grep -E '^E:|^ [^ ].* : Depends' "$log" | head -n 3 | tr '\n' ' ' || true)
      echo "  $p: ${reason:-$(tail -n 1 "$log")}" >&2
    fi
  done
}

record() { # record NAME STATUS WHY: one line of the setup report
  printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$report"
}

probe_error=""
runs_32bit() {
  case "${KESTRUNE_RUNS_32BIT:-}" in
    yes) return 0 ;;
    no)
      probe_error="switched off (KESTRUNE_RUNS_32BIT=no)"
      return 1
      ;;
  esac
  # The smallest i386 Linux program: exit(0) through int 0x80. No compiler, no library.
  local elf
  elf=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' >"$elf"
  chmod +x "$elf"
  if probe_error=$("$elf" 2>&1); then
    rm -f "$elf"
    return 0
  fi
  probe_error="this kernel does not run 32-bit programs (a minimal i386 program: ${probe_error##*: })"
  rm -f "$elf"
  return 1
}

# promtool checks and tests the shipped alert rules. Debian has it only in the
# prometheus package, which would also install and start a server, so the package is
# downloaded (kept in $tools/debs) and promtool alone unpacked to
# $tools/prometheus/usr/bin, where the tests' CMake looks; nothing is installed.
tools=${KESTRUNE_TOOLS:-/var/cache/kestrune-tools}
promtool_reason=""
promtool_ready() { "$tools/prometheus/usr/bin/promtool" --version >/dev/null 2>&1; }

promtool_download() { # the package's .deb into $tools/debs; promtool_reason says why not
  local try why
  rm -f "$tools/debs"/prometheus_*.deb
  for try in 1 2 3; do
    if (cd "$tools/debs" && apt-get download -q prometheus) >"$log" 2>&1; then
      return 0
    fi
    why=$(grep -E '^E:' "$log" | head -n 2 | tr '\n' ' ' || true)
    promtool_reason="apt-get download prometheus: ${why:-$(tail -n 1 "$log")}"
    # Without package lists apt knows no prometheus: fetch them once.
    if [ "$updated" = no ] &&
      grep -qE 'Unable to locate package|no installation candidate|select candidate' "$log"; then
      apt_update
      continue
    fi
    if [ "$try" -lt 3 ]; then
      echo "setup: apt-get download prometheus failed (try $try of 3)," \
        "trying again in ${pause} s" >&2
      sleep "$pause"
    fi
  done
  return 1
}

promtool_unpack() { # downloads and unpacks promtool; promtool_reason says why not
  local debs new
  mkdir -p "$tools/debs" || { promtool_reason="cannot make $tools/debs"; return 1; }
  promtool_download || return 1
  debs=("$tools/debs"/prometheus_*.deb)
  if [ ! -f "${debs[0]}" ]; then
    promtool_reason="apt-get download prometheus left no prometheus_*.deb in $tools/debs"
    return 1
  fi
  # Unpacked beside the old tree and moved in whole, so a broken run leaves none half made.
  new="$tools/prometheus.new"
  rm -rf "$new"
  mkdir -p "$new"
  if ! { dpkg-deb --fsys-tarfile "${debs[0]}" | tar -x -C "$new" ./usr/bin/promtool; } \
    2>"$log"; then
    promtool_reason="cannot unpack promtool from ${debs[0]}: $(head -n 1 "$log")"
    rm -rf "$new"
    return 1
  fi
  if ! "$new/usr/bin/promtool" --version >"$log" 2>&1; then
    promtool_reason="the unpacked promtool does not run: $(head -n 1 "$log")"
    rm -rf "$new"
    return 1
  fi
  rm -rf "$tools/prometheus"
  mv "$new" "$tools/prometheus"
}

# --- the required set ---
mapfile -t missing < <(missing_of "${required[@]}")
if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  if ! apt_install "${missing[@]}"; then
    echo "setup: cannot install the packages '$set_name' needs:" >&2
    culprits "${missing[@]}"
    echo "  (apt: $apt_reason)" >&2
    exit 1
  fi
fi
[ "$set_name" = test ] || exit 0

# --- promtool, for the alert rules' test ---
if ! promtool_ready; then
  if ! promtool_unpack; then
    echo "setup: cannot get promtool (Debian's prometheus package): $promtool_reason" >&2
    exit 1
  fi
fi

# --- the optional paths of the test command ---
mkdir -p "$(dirname "$report")"
: >"$report"
for i in "${!optional_names[@]}"; do
  name=${optional_names[$i]}
  read -r -a pkgs <<<"${optional_packages[$i]}"
  mapfile -t missing < <(missing_of "${pkgs[@]}")
  if [ "${#missing[@]}" -eq 0 ]; then
    record "$name" installed "${optional_what[$i]}"
    continue
  fi
  [ "$updated" = yes ] || apt_update
  if apt_install "${missing[@]}"; then
    record "$name" installed "${optional_what[$i]}"
  else
    echo "setup: optional packages for ${optional_what[$i]} not installed: ${missing[*]} ($apt_reason)" >&2
    record "$name" missing "${missing[*]} could not be installed: $apt_reason"
  fi
done

# 32-bit Wine: only where the kernel runs 32-bit programs, and the i386 architecture only
# for as long as its packages can be installed.
if installed wine32:i386; then
  record wine32 installed "$wine32_what"
elif ! runs_32bit; then
  record wine32 missing "$probe_error"
else
  added=no
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    added=yes
  fi
  apt_update
  why=""
  i386_failures=$(printf '%s\n' "$update_failures" | grep -E 'i386' || true)
  if [ -n "$i386_failures" ]; then
    why="the mirror's i386 index failed: $(printf '%s\n' "$i386_failures" | head -n 1)"
  elif ! apt_install wine32:i386; then
    why="wine32:i386 could not be installed: $apt_reason"
  fi
  if [ -z "$why" ]; then
    record wine32 installed "$wine32_what"
  else
    echo "setup: $why" >&2
    if [ "$added" = yes ]; then
      mapfile -t leftovers < <(dpkg-query -W -f='${binary:Package} ${Status}\n' 2>/dev/null |
        awk '$1 ~ /:i386$/ && $NF == "installed" { print $1 }')
      if [ "${#leftovers[@]}" -gt 0 ]; then
        apt-get purge -y -q "${leftovers[@]}" >"$log" 2>&1 || true
      fi
      if dpkg --remove-architecture i386; then
        apt_update # drops the i386 lists again
        why="$why; the i386 architecture was removed again"
      else
        echo "setup: could not remove the i386 architecture again" >&2
      fi
    fi
    record wine32 missing "$why"
  fi
fi
