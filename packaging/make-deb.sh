#!/usr/bin/env bash
# Builds Quorin's Debian package in release mode and checks its desktop files:
#   packaging/make-deb.sh [BUILD_DIR]     (default build/deb; JOBS=n sets the build's jobs)
# The package lands in BUILD_DIR as quorin_<version>_<arch>.deb. Its Depends are worked out by
# dpkg-shlibdeps from the libraries the programs and the media module link against.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/deb}"
jobs="${JOBS:-$(nproc)}"

bash "$root/scripts/install-deps.sh"

# Only the installed programs are built; the tests, benchmarks and fuzz runners are not needed.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORIN_BUILD_TESTS=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$build" -j "$jobs" --target quorin quorin-cli quorin-mkdisk quorin_media_ffmpeg \
  quorin_man_pages
rm -f "$build"/quorin_*.deb
(cd "$build" && cpack -G DEB)
deb="$(ls "$build"/quorin_*.deb)"

# The desktop entry and the metainfo as the package installs them must validate.
check="$(mktemp -d)"
trap 'rm -rf "$check"' EXIT
dpkg-deb -x "$deb" "$check"
desktop-file-validate "$check/usr/share/applications/org.quorin.Quorin.desktop"
appstreamcli validate --no-net "$check/usr/share/metainfo/org.quorin.Quorin.metainfo.xml"

dpkg-deb -f "$deb" Package Version Architecture Depends Recommends
echo "$deb"
