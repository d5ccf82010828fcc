#!/usr/bin/env bash
# A private Samba server for the tests that reach a share: smbd alone, bound to 127.0.0.1 on a
# free port that is not SMB's own, with its configuration, state, locks, cache, pid and log under
# one temporary folder, one share Kavrin$ and one test user. Needs root (smbd and the test user).
#
#   scripts/smbserver.sh run COMMAND [ARG]...
#
# starts the server, runs COMMAND with these variables set, stops the server, removes its folder
# and exits with COMMAND's status:
#   KAVRIN_TEST_SHARE            \\127.0.0.1:PORT\Kavrin$
#   KAVRIN_TEST_SHARE_USER       the test user, KAVRIN_TEST_SHARE_PASSWORD its password
#   KAVRIN_SMBSERVER_DIR         the server's folder (its log is in log/)
# The server runs in the foreground as a child of this script, which reaps it: nothing is left
# behind, not even a zombie. Nothing is written outside the folder, except the test user's line in
# /etc/passwd when it is missing (the user owns nothing and stays). Environment: KAVRIN_SMB_USER
# (default kavtest), KAVRIN_SMB_PORT (default: a free one), KAVRIN_SMB_GUESTS (default yes: the
# share admits guests, so that the tests can show a refused password is not made a guest session;
# no: only the test user gets in).
set -euo pipefail

user=${KAVRIN_SMB_USER:-kavtest}
guests=${KAVRIN_SMB_GUESTS:-yes}
password=Kavrin-Test-1

die() {
    echo "smbserver: $*" >&2
    exit 1
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

free_port() {
    local port
    for port in $(shuf -i 20000-60000 -n 50); do
        if ! port_in_use "$port"; then
            echo "$port"
            return
        fi
    done
    die "no free port found"
}

start() {
    [ "$(id -u)" -eq 0 ] || die "must run as root"
    command -v smbd >/dev/null || die "smbd is not installed (scripts/setup.sh installs it)"
    dir=$(mktemp -d /tmp/kavrin-smb.XXXXXX)
    # mktemp makes the folder 0700; the server, acting as the test user, passes through it.
    chmod 0755 "$dir"
    port=${KAVRIN_SMB_PORT:-$(free_port)}
    mkdir -p "$dir"/{etc,private,lock,state,cache,pid,ncalrpc,binddns,log,share/Kavrin}
    mkdir -p -m 1775 "$dir/usershares"
    chmod 0777 "$dir/share/Kavrin"
    cat >"$dir/etc/smb.conf" <<CONF
[global]
   server role = standalone server
   workgroup = WORKGROUP
   netbios name = KAVRINTEST
   interfaces = 127.0.0.1
   bind interfaces only = yes
   smb ports = $port
   disable netbios = yes
   private dir = $dir/private
   passdb backend = tdbsam:$dir/private/passdb.tdb
   lock directory = $dir/lock
   state directory = $dir/state
   cache directory = $dir/cache
   pid directory = $dir/pid
   ncalrpc dir = $dir/ncalrpc
   binddns dir = $dir/binddns
   usershare path = $dir/usershares
   log file = $dir/log/log.smbd
   log level = 1
   rpc start on demand helpers = no
   load printers = no
   printing = bsd
   printcap name = /dev/null
   disable spoolss = yes
   map to guest = Bad User
   guest account = nobody

[Kavrin\$]
   path = $dir/share/Kavrin
   read only = no
   guest ok = $guests
   browseable = no
   create mask = 0666
   directory mask = 0777
CONF
    testparm -s "$dir/etc/smb.conf" >/dev/null 2>&1 || die "testparm refuses the configuration"
    if ! id "$user" >/dev/null 2>&1; then
        useradd -M -s /usr/sbin/nologin "$user"
    fi
    printf '%s\n%s\n' "$password" "$password" |
        smbpasswd -c "$dir/etc/smb.conf" -s -a "$user" >/dev/null 2>&1
    # In the foreground, without --no-process-group: smbd makes a process group of its own, and
    # its SIGTERM does not reach this script.
    local launch=(smbd -F -s "$dir/etc/smb.conf" -l "$dir/log")
    # Every connection's negotiation has smbd look up this computer's own name (the DNS names it
    # announces to the client), twice, and a failed lookup is not remembered. Where no line of
    # /etc/hosts names the computer that asks the name server, which may take longer than a
    # client waits. smbd gets a view of /etc/hosts of its own that names the computer, in a mount
    # namespace of its own: nothing of the machine changes.
    {
        cat /etc/hosts 2>/dev/null || true
        echo "127.0.0.1 $(hostname)"
    } >"$dir/etc/hosts"
    if [ -f /etc/hosts ] && unshare --mount true 2>/dev/null; then
        # unshare execs the shell and the shell execs smbd: $! stays smbd's process.
        launch=(unshare --mount sh -c 'mount --bind "$0" /etc/hosts && exec "$@"'
            "$dir/etc/hosts" "${launch[@]}")
    elif ! timeout 2 getent hosts "$(hostname)" >/dev/null 2>&1; then
        echo "smbserver: warning: this computer's name ($(hostname)) does not resolve and smbd" \
            "cannot be given an /etc/hosts of its own: each connection waits for the name server" >&2
    fi
    "${launch[@]}" </dev/null >"$dir/log/stdout" 2>&1 &
    pid=$!
    local tries
    for tries in $(seq 100); do
        if port_in_use "$port"; then
            return
        fi
        kill -0 "$pid" 2>/dev/null || die "smbd ended at start: $(tail -n 5 "$dir/log/stdout")"
        sleep 0.1
    done
    die "smbd did not listen on port $port within 10 s"
}

stop() {
    if [ -n "${pid:-}" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        # Children that outlived it (a connection still being served) are in its group.
        kill -KILL -- "-$pid" 2>/dev/null || true
        pid=
    fi
    if [ -n "${dir:-}" ]; then
        rm -rf "$dir"
        dir=
    fi
}

[ "${1:-}" = run ] && [ $# -ge 2 ] || die "usage: $0 run COMMAND [ARG]..."
shift
dir=
pid=
trap stop EXIT
trap 'exit 130' INT TERM
start
export KAVRIN_SMBSERVER_DIR=$dir
export KAVRIN_TEST_SHARE="\\\\127.0.0.1:$port\\Kavrin\$"
export KAVRIN_TEST_SHARE_USER=$user
export KAVRIN_TEST_SHARE_PASSWORD=$password
status=0
"$@" || status=$?
exit "$status"
