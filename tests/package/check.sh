#!/usr/bin/env bash
# Checks a Debian package of the tool as an administrator gets it: tests/package/check.sh DEB.
# The package is unpacked into a scratch root (dpkg -x) and, in CI (CI=true, as root, on a
# machine set up for the run), also installed with apt and purged again. Its programs run from
# there on a generated database; its desktop entry, AppStream metadata, manual pages and bash
# completion are checked; lintian must find no error, and its warnings are listed.
set -euo pipefail
deb=$(realpath "$1")
scratch=$(mktemp -d)
installed=0
cleanup() {
    if ((installed)); then
        dpkg --purge kavrin-dbtool > /dev/null
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

passed=0
# check NAME COMMAND...: the script stops at the first check that fails.
check() {
    local name=$1
    shift
    if ! "$@"; then
        echo "FAILED: $name"
        exit 1
    fi
    passed=$((passed + 1))
    echo "ok: $name"
}

version=$(dpkg-deb -f "$deb" Version)
root=$scratch/root
dpkg-deb -x "$deb" "$root"
share=$root/usr/share
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, installs $(dpkg-deb -f "$deb" Installed-Size) KiB"

# The programs as installed, in ROOT ("" for the system).
programs_run() {
    local bin=$1/usr/bin db=$scratch/db-${1//\//-}
    [[ $("$bin/kavrin-dbtool-cli" --version) == "kavrin-dbtool-cli $version" ]] &&
        [[ $(env -u DISPLAY -u WAYLAND_DISPLAY "$bin/kavrin-dbtool" --version) == "kavrin-dbtool $version" ]] &&
        "$bin/kavrin-dbtool-cli" generate "$db" --nodes 200 --seed 3 > /dev/null &&
        "$bin/kavrin-dbtool-cli" stats "$db" > "$db.stats" 2> /dev/null &&
        grep -qx "Total Nodes : 200" "$db.stats"
}
# man_renders MANPATH PAGE: the page renders without a warning, with its sections. An empty
# MANPATH: the system's manual.
man_renders() {
    local warnings
    warnings=$(
        [[ -n $1 ]] && export MANPATH=$1
        MANPAGER=cat MANWIDTH=80 man --warnings "$2" 2>&1 > "$scratch/page"
    )
    echo -n "$warnings"
    [[ -z $warnings ]] && grep -q "^EXIT STATUS" "$scratch/page"
}
completes() { # FILE FUNCTION EXPECTED WORDS...
    local file=$1 function=$2 expected=$3
    shift 3
    bash -c 'source "$1"; COMP_WORDS=("${@:4}"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
             "$2"; [[ "${COMPREPLY[*]}" == "$3" ]]' _ "$file" "$function" "$expected" "$@"
}

check "the unpacked programs run: --version and stats on a generated database" programs_run "$root"
# Samba's client library is loaded, not linked: only the package's own dependency brings it.
check "depends on libsmbclient" grep -q "libsmbclient (>= " <<< "$(dpkg-deb -f "$deb" Depends)"
check "desktop-file-validate" desktop-file-validate "$share"/applications/*.desktop
check "appstreamcli validate --no-net" appstreamcli validate --no-net --no-color \
    "$share"/metainfo/*.metainfo.xml
check "man kavrin-dbtool-cli renders" man_renders "$share/man" kavrin-dbtool-cli
check "man kavrin-dbtool renders" man_renders "$share/man" kavrin-dbtool
check "bash completion" completes "$share/bash-completion/completions/kavrin-dbtool-cli" \
    _kavrin_dbtool_cli "--debuglevel --descending --delete --dry-run" kavrin-dbtool-cli commit /srv --d
check "bash completion of the window" completes "$share/bash-completion/completions/kavrin-dbtool" \
    _kavrin_dbtool "--folder" kavrin-dbtool --fo
# The maintenance units as unpacked, verified with the unpacked program in their command line;
# the manual page is checked above. Nothing enables them: no link in the package's /etc.
units_verify() {
    local unit units=$scratch/units
    mkdir -p "$units"
    for unit in "$root"/lib/systemd/system/kavrin-dbtool-maintain.{service,timer}; do
        sed "s|/usr/bin/kavrin-dbtool-cli|$root/usr/bin/kavrin-dbtool-cli|" "$unit" > "$units/${unit##*/}"
    done
    systemd-analyze verify --man=no "$units"/kavrin-dbtool-maintain.{service,timer} &&
        [[ ! -e $root/etc/systemd ]]
}
# The example configuration runs, and names no database: nothing is opened.
example_does_nothing() {
    "$root/usr/bin/kavrin-dbtool-cli" maintain "$root/etc/kavrin-dbtool/maintain.toml" --json \
        > "$scratch/maintain.json" &&
        grep -q '"databases": \[\]' "$scratch/maintain.json" &&
        grep -qx /etc/kavrin-dbtool/maintain.toml <(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)
}
check "systemd-analyze verify: the maintenance service and timer, not enabled" units_verify
check "the example maintenance configuration is a conffile and names no database" example_does_nothing

lintian_status=0
lintian --fail-on error "$deb" > "$scratch/lintian" 2>&1 || lintian_status=$?
grep -v "running with root privileges" "$scratch/lintian" || true
check "lintian: no error, $(grep -c '^W:' "$scratch/lintian" || true) warnings" test "$lintian_status" -eq 0

if [[ ${CI:-} == true && $(id -u) -eq 0 ]]; then
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
        > "$scratch/apt" 2>&1; then
        cat "$scratch/apt"
        echo "FAILED: apt install $deb"
        exit 1
    fi
    installed=1
    check "apt installs the package; the installed programs run" programs_run ""
    check "man kavrin-dbtool-cli renders from the system" man_renders "" kavrin-dbtool-cli
    check "systemd-analyze verify: the installed units" \
        systemd-analyze verify /lib/systemd/system/kavrin-dbtool-maintain.{service,timer}
fi

echo "package checks: $passed passed, 0 failed"
