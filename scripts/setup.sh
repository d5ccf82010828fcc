#!/usr/bin/env bash
# Installs what building and testing the tool needs on a Debian 12 machine. Safe to run again:
# packages already present are not fetched.
set -euo pipefail

packages=(
    build-essential cmake pkg-config zlib1g-dev
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
    nlohmann-json3-dev libtomlplusplus-dev
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev qt6-qpa-plugins
    fonts-dejavu-core
    clang libclang-rt-14-dev
    time xvfb xauth
    # The race tests kill a commit as it enters a chosen rename.
    strace
    scdoc lintian desktop-file-utils appstream man-db xdotool netpbm
    # The package check verifies the maintenance units with systemd-analyze.
    systemd
    # The Windows build and its tests: the cross compiler (the -posix one, which has std::thread
    # and std::mutex), windres, zlib for it, GoogleTest's sources, and wine to run the tests.
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest
    wine wine64
    # The static Qt of the window for Windows, built from Debian's source (scripts/qt-windows.sh):
    # the machine's Qt as its host tools, Ninja, and wine's fonts for the window under wine.
    qmake6 perl xz-utils ninja-build fonts-wine
    samba smbclient libsmbclient-dev
)

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo_cmd=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    # Installing samba must not start a server of the machine's own: only the tests' private one
    # runs, and only while they do (scripts/smbserver.sh).
    policy=/usr/sbin/policy-rc.d
    added_policy=false
    if [ "$(id -u)" -eq 0 ] && [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 0755 "$policy"
        added_policy=true
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
    if $added_policy; then
        rm -f "$policy"
    fi
fi
