#!/usr/bin/env bash
# Builds the Debian packages: a release build with Debian's build flags
# (dpkg-buildflags: hardening, -ffile-prefix-map so no build path is kept),
# stripped by CPack, with Depends from dpkg-shlibdeps.
#   bash scripts/package.sh [BUILD_DIR]      (default build-deb)
# Leaves BUILD_DIR/nimbrel_*.deb, libzelk1_*.deb, libzelk-dev_*.deb and
# nimbrel-dev_*.deb, and prints their names.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
bash scripts/install-deps.sh
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
# "None": the flags above are the whole optimisation and debug setting.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DNB_SANITIZE=OFF -DBUILD_TESTING=OFF \
      -DNB_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/*.deb
# CPack's output (and its note that plug-ins have no soname, so no shlibs
# line) is shown only when it fails.
if ! (cd "$build" && cpack -G DEB >cpack.log 2>&1); then
  cat "$build/cpack.log" >&2
  exit 1
fi
ls "$build"/*.deb
