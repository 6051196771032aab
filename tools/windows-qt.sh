#!/usr/bin/env bash
# Builds Qt for Windows (Core, Gui, Widgets, Test and the windows platform and style plugins; shared DLLs,
# so that Qt's LGPL is kept simply, its licence beside them) from Debian's own qt6-base source, the same
# version as the host's Qt, whose moc, rcc and uic it uses. Built once into a cache outside the checkout,
# keyed by the version and the options, and reused after; prints the prefix it is installed in.
#   tools/windows-qt.sh        (as root, or with sudo for apt-get: it adds deb-src lines when there are none)
set -eEuo pipefail
trap 'status=$?; echo "windows-qt.sh: \"$BASH_COMMAND\" failed with status $status (line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
top=$PWD

version=$(dpkg-query -W -f='${Version}' qt6-base-dev) # 6.4.2+dfsg-10
options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_freetype=OFF
    # dynamicgl stays on without OpenGL unless it is turned off too (qwindows then fails to build). The +dfsg
    # tarball has no src/3rdparty/wintab; direct2d stays on: qwindows links its DirectWrite fonts.
    -DFEATURE_tabletevent=OFF -DFEATURE_testlib=ON
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_jpeg=OFF -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_freetype=OFF
)
key=$(printf '%s\n' "$version" "${options[@]}" "$(sha256sum cmake/mingw-w64-qt.cmake)" | sha256sum | cut -c1-12)
cache=${VELKOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velkor}
prefix=$cache/qt-${version%%+*}-mingw-$key
source_dir=$cache/src/qt6-base-${version%-*}
# The licences the Windows installer ships beside Qt: the LGPL 3 and the GPL 3 it builds on, and Debian's
# copyright file, which lists the bundled libraries' too.
keep_licences() {
    mkdir -p "$prefix/licences"
    cp "$source_dir/LICENSES/LGPL-3.0-only.txt" "$source_dir/LICENSES/GPL-3.0-only.txt" \
        "$source_dir/debian/copyright" "$prefix/licences/"
}
if [ -f "$prefix/.complete" ]; then
    [ -f "$prefix/licences/copyright" ] || keep_licences
    echo "$prefix"
    exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Debian's source, its .dsc checked by apt and dpkg-source.
if [ ! -d "$source_dir" ]; then
    if ! grep -rqs '^Types: deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $sudo tee /etc/apt/sources.list.d/velkor-deb-src.sources >/dev/null
        $sudo apt-get update -qq >&2
    fi
    mkdir -p "$cache/src"
    (cd "$cache/src" && apt-get source -qq "qt6-base=$version" >&2)
fi

build=$cache/qt-build-$key
start=$SECONDS
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-qt.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    "${options[@]}" >"$cache/qt-configure-$key.log"
# VELKOR_QT_CONFIGURE_ONLY=1: configure only, to see the configuration summary quickly.
[ -z "${VELKOR_QT_CONFIGURE_ONLY:-}" ] || { echo "configured: $build" >&2; exit 0; }
# Its thousand steps and Qt's own warnings go to a log; a failure shows the end of it.
log=$cache/qt-build-$key.log
echo "building Qt for Windows into $prefix (about 25 minutes on two cores; log: $log)" >&2
if ! cmake --build "$build" --parallel "$(nproc)" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "windows-qt.sh: the Qt build failed; its log: $log" >&2
    exit 1
fi
cmake --install "$build" >/dev/null
keep_licences
touch "$prefix/.complete"
echo "Qt for Windows built in $((SECONDS - start)) s" >&2
echo "$prefix"
