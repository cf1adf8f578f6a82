#!/usr/bin/env bash
# Installs the Debian packages one kind of work needs:
#   setup.sh run      building and running the Linux programs (scripts/run.sh)
#   setup.sh package  that, plus what the Debian packages and the MSI are made with
#   setup.sh test     everything: the tests, the Windows cross builds under Wine (32-bit
#                     Wine where the machine runs 32-bit programs, 64-bit Wine where it
#                     does not), sanitizers, fuzzing, benchmarks and the package tests
# Without an argument: test. Idempotent: apt runs only when a package is missing.
set -euo pipefail

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
  sqlite3 libnss3-tools
  xvfb xauth x11-utils imagemagick xdotool trayer
  dbus dunst weston at-spi2-core gir1.2-atspi-2.0 python3-gi
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  lintian man-db systemd prometheus-node-exporter curl
  debootstrap systemd-container  # the live systemd test only (skipped without them)
)

case "${1:-test}" in
  run) packages=("${run[@]}") ;;
  package) packages=("${package[@]}") ;;
  test) packages=("${test[@]}") ;;
  *)
    echo "setup.sh: unknown package set '$1' (run, package or test)" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
