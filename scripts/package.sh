#!/usr/bin/env bash
# Builds the Debian packages (build-package/kestrune-check_*.deb, kestrune_*.deb) with
# Debian's hardening flags, and the MSI (build-win32/kestrune-*-x86.msi) from the i686
# cross build. `package.sh deb` or `package.sh msi` builds one kind only.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
bash scripts/setup.sh package

if [ "$what" = all ] || [ "$what" = deb ]; then
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
    cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF
    cmake --build build-package -j "$(nproc)"
    rm -f build-package/*.deb
    (cd build-package && cpack -G DEB >cpack.log) || { cat build-package/cpack.log; exit 1; }
    ls -1 build-package/*.deb
fi
if [ "$what" = all ] || [ "$what" = msi ]; then
    cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=OFF
    cmake --build build-win32 -j "$(nproc)" --target msi
    ls -1 build-win32/*.msi
fi
