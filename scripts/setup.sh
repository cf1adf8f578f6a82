#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the Windows cross builds need
# (32-bit Wine where the machine runs 32-bit programs, 64-bit Wine where it does not).
# Idempotent: packages already present are left alone; apt runs only when one is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3
  clang-format clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl ca-certificates
  libsqlite3-dev sqlite3
  libcurl4-openssl-dev
  libnss3-dev libnss3-tools
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  xvfb xauth x11-utils imagemagick xdotool trayer
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
