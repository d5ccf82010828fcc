#!/usr/bin/env bash
# Builds the static Qt the window for Windows links: Qt Base for x86_64-w64-mingw32, from
# Debian's own source package of the version the machine's Qt is, with the machine's Qt as the
# host tools. (Qt SVG is not needed: the window's pictures are drawn from their SVG files at build
# time, by the machine's Qt.) Built once and kept in
#   ${KAVRIN_CACHE:-$HOME/.cache/kavrin}/qt-<version>-x86_64-w64-mingw32-static-<key>
# where the key follows the Qt package's version, the cross compiler's and this script's own
# content: a second run with the same key does nothing. The last line printed is that folder.
#
#   scripts/qt-windows.sh            build it unless it is there
#   scripts/qt-windows.sh --prefix   print the folder if it is built (exit 0), else exit 1
#
# The machine's apt configuration is not touched: the sources come through a list of the cache's
# own. Everything the window does not use is left out of Qt, which also keeps the build near 20
# minutes on two cores.
set -euo pipefail
script=$(readlink -f "$0")
target=x86_64-w64-mingw32
cache=${KAVRIN_CACHE:-$HOME/.cache/kavrin}

installed_version() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null || {
        echo "qt-windows.sh: $1 is not installed (scripts/setup.sh installs it)" >&2
        exit 1
    }
}
base_version=$(installed_version qt6-base-dev)
compiler_version=$(installed_version g++-mingw-w64-x86-64-posix)
# 6.4.2+dfsg-10 -> 6.4.2
upstream=${base_version#*:}
upstream=${upstream%%[+-]*}
key=$({
    printf '%s\n' "$base_version" "$compiler_version"
    cat "$script"
} | sha256sum)
key=${key:0:12}
prefix=$cache/qt-$upstream-$target-static-$key
stamp=$prefix/kavrin-qt-built

if [ "${1:-}" = --prefix ]; then
    [ -f "$stamp" ] || exit 1
    echo "$prefix"
    exit 0
elif [ $# -ne 0 ]; then
    echo "usage: qt-windows.sh [--prefix]" >&2
    exit 2
fi

mkdir -p "$cache"
# Two test runs at once build it once: the second waits for the first and finds it built.
exec 9>"$cache/qt-windows.lock"
flock 9
if [ -f "$stamp" ]; then
    echo "Qt $upstream for Windows: built already"
    echo "$prefix"
    exit 0
fi

echo "Qt $upstream for Windows is built once into $prefix (about 20 minutes on two cores)"
started=$SECONDS
rm -rf "$prefix"
work=$cache/qt-windows-build-$key
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# The source, by apt's own source mechanism, which checks them against the signed index, with
# a list, state and cache of their own. The mirror is the one the machine installs from.
# A machine may have either kind of list, or none of one kind (a fresh debootstrap root has only
# sources.list): a file that is missing must not fail the pipeline.
apt_lists() {
    local file
    for file in "$@"; do
        if [ -f "$file" ]; then cat "$file"; fi
    done
}
mirror=$(apt_lists /etc/apt/sources.list.d/*.sources |
    sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/\?[[:space:]]*$/\1/p' | sed -n 1p)
if [ -z "$mirror" ]; then
    mirror=$(apt_lists /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\/debian\)\/\?[[:space:]]\+bookworm[[:space:]].*/\2/p' |
        sed -n 1p)
fi
if [ -z "$mirror" ]; then
    echo "qt-windows.sh: no Debian mirror found in /etc/apt/sources.list or sources.list.d" >&2
    exit 1
fi
apt_dir=$cache/apt-src
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" \
    >"$apt_dir/sources.list"
apt_options=(
    -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
    -o APT::Sandbox::User=root -qq
)
apt-get "${apt_options[@]}" update
(cd "$apt_dir/sources" &&
    apt-get "${apt_options[@]}" source --download-only \
        "qt6-base=$base_version")
# The upstream tarball a source package's .dsc names (Debian's own patches are not applied).
tarball() {
    local dsc=$apt_dir/sources/$1_${2#*:}.dsc name
    name=$(grep -o "$1_[^ ]*\.orig\.tar\.[a-z0-9]*" "$dsc" | sed -n 1p)
    if [ -z "$name" ] || [ ! -f "$apt_dir/sources/$name" ]; then
        echo "qt-windows.sh: no source tarball of $1 $2 in $apt_dir/sources" >&2
        exit 1
    fi
    echo "$apt_dir/sources/$name"
}
tar -xf "$(tarball qt6-base "$base_version")" -C "$work"
base_src=$(find "$work" -maxdepth 1 -name 'qtbase-everywhere-src-*' -print -quit)

# Qt 6 takes its compilers from a toolchain file only. It stays in the prefix: Qt's own
# qt.toolchain.cmake loads it again when a program is configured with that.
mkdir -p "$prefix"
toolchain=$prefix/mingw-w64-x86_64.cmake
cat >"$toolchain" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# For mingw GCC lets a caller keep values in call-clobbered registers across a call to an inline
# or template function whose copy in the caller's own file leaves them alone (-fipa-ra, on at
# -O2); the linker keeps one copy for the whole program, perhaps one compiled elsewhere with other
# flags, which uses them. Qt's QRandomGenerator lost its output pointer so across
# std::mt19937's refill when a program's -O2 copy was kept instead of Qt's -O3 one.
set(CMAKE_C_FLAGS_INIT -fno-ipa-ra)
set(CMAKE_CXX_FLAGS_INIT -fno-ipa-ra)
EOF

host_cmake_dir=/usr/lib/$(gcc -dumpmachine)/cmake
jobs=$(nproc)

# Qt Base. Debian's tarball has no src/3rdparty/wintab and no src/3rdparty/sqlite, hence no
# tablet events and no Qt SQL. Every third-party library is Qt's bundled one: none of the
# machine's libraries is for Windows. FreeType builds the offscreen platform plugin, on which
# the window's tests run under wine without a display.
mkdir -p "$work/qtbase-build"
(cd "$work/qtbase-build" &&
    "$base_src/configure" -prefix "$prefix" \
        -release -static -static-runtime -xplatform win32-g++ \
        -device-option CROSS_COMPILE=$target- -qt-host-path /usr \
        -nomake examples -nomake tests -no-pkg-config -no-icu -no-dbus -no-opengl \
        -no-feature-vulkan -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz -qt-doubleconversion \
        -qt-freetype -no-zstd -no-libjpeg -no-gif \
        -no-feature-sql -no-feature-network -no-feature-xml -no-feature-concurrent \
        -no-feature-printsupport -no-feature-tabletevent \
        -- -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH_CMAKE_DIR="$host_cmake_dir" \
        -DCMAKE_DISABLE_FIND_PACKAGE_Libb2=TRUE -DCMAKE_DISABLE_FIND_PACKAGE_WrapZSTD=TRUE \
        -DCMAKE_DISABLE_FIND_PACKAGE_WrapSystemDoubleConversion=TRUE \
        -DCMAKE_DISABLE_FIND_PACKAGE_WrapSystemMd4c=TRUE >configure.log 2>&1 ||
    {
        tail -n 40 configure.log >&2
        exit 1
    })
# A thousand build steps: their lines go to a log, whose end is shown if the build fails.
if ! cmake --build "$work/qtbase-build" --parallel "$jobs" >"$work/build.log" 2>&1 ||
    ! cmake --install "$work/qtbase-build" >>"$work/build.log" 2>&1; then
    tail -n 60 "$work/build.log" >&2
    echo "qt-windows.sh: the build of Qt failed" >&2
    exit 1
fi

elapsed=$((SECONDS - started))
size=$(du -sm "$prefix" | cut -f1)
printf 'Qt %s (%s) for %s, GCC %s: built in %d min %d s, %d MB installed\n' "$upstream" \
    "$base_version" "$target" "$compiler_version" \
    $((elapsed / 60)) $((elapsed % 60)) "$size" >"$stamp"
cat "$stamp"
echo "$prefix"
