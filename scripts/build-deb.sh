#!/usr/bin/env bash
# Builds the Debian package build-deb/sitemora_<version>_<arch>.deb: installed under /usr,
# built with Debian's hardening flags, stripped, its library dependencies read from the
# binaries.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/install-deps.sh"
cd "$here"
build="$here/build-deb"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake reads CXXFLAGS and LDFLAGS but not CPPFLAGS (where _FORTIFY_SOURCE is).
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DSITEMORA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/sitemora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/sitemora_*.deb
