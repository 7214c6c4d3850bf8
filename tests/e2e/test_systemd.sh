# shellcheck shell=bash disable=SC2016,SC2317 source=lib.sh
# The package under a real systemd: a minimal Debian 12 booted in a
# container with a private network, the .deb of this build tree installed,
# and quibd@broker and quibd@client run by the shipped unit. It checks that
# each instance becomes active only once the daemon says it is ready, that
# the client keeps its identifier in its own state directory, that a
# rotation by the shipped logrotate file, a reload and SIGHUP reopen the log
# without a restart of either instance, that a stopped broker is restarted by the watchdog,
# that a client whose broker is gone gives up and is started again, and that
# quibd --status answers as root. A drop-in only shortens the watchdog and
# restart times.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/example_conf.sh"
. "$(dirname "$0")/../../scripts/deps.sh"

QUIBD=${1:-}
[ -n "$QUIBD" ] || { echo "usage: bash $0 /path/to/build/quibd" >&2; exit 2; }
[ "$(id -u)" = 0 ] || e2e_skip "needs root (a container booted with systemd-nspawn)"
quibd_need_packages mmdebstrap systemd-container >/dev/null ||
    e2e_skip "mmdebstrap and systemd-container are missing and could not be installed"
for tool in systemd-nspawn mmdebstrap nsenter cpack; do
    command -v "$tool" >/dev/null 2>&1 || e2e_skip "the tool '$tool' is not installed"
done

# The runtime libraries come in with the root: the container has no network.
INCLUDE=systemd,systemd-sysv,dbus,iproute2,logrotate,procps,liblog4cpp5v5,libsodium23,libsystemd0,libmicrohttpd12,zlib1g
CACHE=/var/cache/quibd-test
TARBALL="$CACHE/bookworm-$(echo "$INCLUDE" | md5sum | cut -c1-12).tar"
NSPAWN=""
INIT=""

e2e_setup "/tmp/quibd-e2e-test_systemd.XXXXXX" || e2e_fatal "mktemp failed"
ROOT="$E2E_TMP/root"

# Powers the container off (SIGTERM to nspawn), or ends it by killing its
# init after 15 s; a failure shows the journal first.
e2e_at_exit() {
    [ "$1" -eq 0 ] || [ "$1" -eq 77 ] || [ -z "$INIT" ] ||
        inside journalctl -b --no-pager -u 'quibd@*' | tail -n 60
    [ -n "$NSPAWN" ] || return 0
    kill -TERM "$NSPAWN" 2>/dev/null
    e2e_wait_until 15 e2e_gone "$NSPAWN" || { kill -KILL "$INIT" 2>/dev/null; sleep 1; }
    e2e_process_alive "$NSPAWN" && kill -KILL "$NSPAWN" 2>/dev/null
    wait "$NSPAWN" 2>/dev/null
}
e2e_gone() { ! e2e_process_alive "$1"; }

# inside COMMAND...: runs COMMAND in the container, at most 30 s.
inside() {
    timeout 30 nsenter -t "$INIT" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
prop() { # UNIT PROPERTY
    inside systemctl show -p "$2" --value "$1"
}
running() {
    [ "$(prop "$1" ActiveState)/$(prop "$1" SubState)" = active/running ]
}
pid_changed() { # UNIT OLD-PID
    local pid
    pid=$(prop "$1" MainPID)
    [ -n "$pid" ] && [ "$pid" != 0 ] && [ "$pid" != "$2" ] && running "$1"
}
reopened() { # COUNT: the broker's current log holds COUNT reopen records
    [ "$(grep -c 'Reopened log files on SIGHUP' "$ROOT/var/log/private/quibd/broker.log" 2>/dev/null)" = "$1" ]
}

# ------------------------------------------------------------ root and package

e2e_build_deb "$QUIBD" "$E2E_TMP/pkg" >"$E2E_TMP/deb.out" || e2e_fatal "$(cat "$E2E_TMP/deb.out")"
if [ ! -s "$TARBALL" ]; then
    e2e_log "mmdebstrap bookworm into $TARBALL (once)"
    mkdir -p "$CACHE"
    # Made under another name ending in .tar (mmdebstrap writes a tarball
    # for that ending) and renamed, so a cut-short run leaves no cache.
    making="$CACHE/making-$$.tar"
    if ! timeout 120 mmdebstrap --variant=minbase --include="$INCLUDE" bookworm "$making" \
        >"$E2E_TMP/mmdebstrap.log" 2>&1; then
        rm -f "$making"
        e2e_skip "mmdebstrap failed: $(tail -n 3 "$E2E_TMP/mmdebstrap.log")"
    fi
    mv "$making" "$TARBALL"
fi
mkdir "$ROOT" || e2e_fatal "cannot make $ROOT"
tar -C "$ROOT" -xf "$TARBALL" || e2e_fatal "cannot unpack $TARBALL"
cp "$E2E_DEB" "$ROOT/root/quibd.deb"
mkdir -p "$ROOT/etc/systemd/system/quibd@.service.d"
printf '[Service]\nWatchdogSec=4s\nRestartSec=2s\nTimeoutStartSec=20s\nTimeoutAbortSec=5s\n' \
    >"$ROOT/etc/systemd/system/quibd@.service.d/short-times.conf"

# ------------------------------------------------------------ boot

systemd-nspawn -D "$ROOT" --boot --register=no --keep-unit --private-network \
    >"$E2E_TMP/nspawn.log" 2>&1 </dev/null &
NSPAWN=$!
find_init() { INIT=$(pgrep -P "$NSPAWN" -x systemd); [ -n "$INIT" ]; }
e2e_wait_until 10 find_init || e2e_skip "systemd-nspawn did not start the container: $(tail -n 3 "$E2E_TMP/nspawn.log")"
booted() {
    STATE=$(inside systemctl is-system-running 2>&1)
    [ "$STATE" = running ] || [ "$STATE" = degraded ]
}
e2e_wait_until 60 booted ||
    e2e_skip "the container did not boot within 60 s ('$STATE'): $(tail -n 3 "$E2E_TMP/nspawn.log")"
e2e_log "the container is up ($STATE)"
# nspawn gives a private network its own /dev/net/tun, for root only.
inside sh -c '[ -c /dev/net/tun ] || { mkdir -p /dev/net && mknod /dev/net/tun c 10 200; }; chmod 0666 /dev/net/tun' ||
    e2e_skip "cannot make /dev/net/tun in the container"
inside dpkg -i /root/quibd.deb >"$E2E_TMP/dpkg.log" 2>&1 || e2e_fatal "dpkg -i: $(tail -n 5 "$E2E_TMP/dpkg.log")"

# The client gives up 25 s after it last heard from the broker: long enough
# to outlast the watchdog's stop and restart of the broker below.
{
    printf 'quib.mode = broker\nquib.broker.ip6prefix = 2001:db8:1::\nquib.client.keepalive = 25\n'
    example_log_block "$ROOT/etc/quib/quibd.conf" FileAppender | sed 's|quibd/quibd.log|quibd/broker.log|'
} >"$ROOT/etc/quib/broker.conf"
printf 'quib.broker.address = 127.0.0.1\nquib.client.keepalive = 25\n' >"$ROOT/etc/quib/client.conf"

# ------------------------------------------------------------ start

for unit in quibd@broker quibd@client; do
    inside systemctl start "$unit"
    e2e_check "$unit starts and is active (running)" running "$unit"
    e2e_check "$unit is Type=notify: active only after READY=1" [ "$(prop "$unit" Type)" = notify ]
done
BROKER_PID=$(prop quibd@broker MainPID)
CLIENT_PID=$(prop quibd@client MainPID)
BROKER_START=$(e2e_now_ms)
e2e_check "the broker's status line reaches systemd ($(prop quibd@broker StatusText))" \
    [ -n "$(prop quibd@broker StatusText)" ]
status_answers() { inside quibd --status /etc/quib/broker.conf | grep -qE '^mode: +broker$'; }
e2e_check "quibd --status answers as root" status_answers
STATE_DIRS=$(inside cat "/proc/$(prop quibd@client MainPID)/environ" | tr '\0' '\n' |
    sed -n 's/^STATE_DIRECTORY=//p')
e2e_check "the client's STATE_DIRECTORY is /var/lib/quibd:/var/lib/quibd/client ($STATE_DIRS)" \
    [ "$STATE_DIRS" = /var/lib/quibd:/var/lib/quibd/client ]
has_tunid() { [ -s "$ROOT/var/lib/private/quibd/client/tunid" ]; }
e2e_wait_until 10 has_tunid
e2e_check "the client keeps its identifier in /var/lib/quibd/client/tunid" has_tunid
e2e_check "no identifier in the shared /var/lib/quibd" [ ! -e "$ROOT/var/lib/private/quibd/tunid" ]
e2e_check "the broker made its key in the shared /var/lib/quibd" \
    [ -s "$ROOT/var/lib/private/quibd/broker.key" ]

# ------------------------------------------------------------ logs

inside logrotate -f /etc/logrotate.d/quibd
e2e_wait_until 5 reopened 1
rotated() { [ -s "$ROOT/var/log/private/quibd/broker.log.1" ] && reopened 1; }
e2e_check "logrotate moves broker.log aside and the broker writes a new one" rotated
inside systemctl reload quibd@broker
e2e_wait_until 5 reopened 2
e2e_check "systemctl reload reopens the log" reopened 2
inside kill -HUP "$BROKER_PID"
e2e_wait_until 5 reopened 3
e2e_check "SIGHUP reopens the log" reopened 3
for unit in quibd@broker:$BROKER_PID quibd@client:$CLIENT_PID; do
    e2e_check "${unit%:*} runs on as the same process (${unit#*:})" \
        [ "$(prop "${unit%:*}" MainPID)/$(prop "${unit%:*}" SubState)" = "${unit#*:}/running" ]
done

# ------------------------------------------------------------ watchdog

while [ $(($(e2e_now_ms) - BROKER_START)) -lt 10000 ]; do sleep 0.5; done
e2e_check "a running broker feeds the watchdog (4 s): same process after 10 s" \
    [ "$(prop quibd@broker MainPID)/$(prop quibd@broker NRestarts)" = "$BROKER_PID/0" ]
STOPPED=$(prop quibd@broker MainPID)
inside kill -STOP "$STOPPED"
e2e_wait_until 25 pid_changed quibd@broker "$STOPPED"
journal_has() { inside journalctl -u "$1" | grep -qF "$2"; }
e2e_check "a stopped broker is restarted by the watchdog" pid_changed quibd@broker "$STOPPED"
e2e_check "systemd says why: a watchdog timeout" journal_has quibd@broker "Watchdog timeout"

# ------------------------------------------------------------ broker gone

CLIENT_RESTARTS=$(prop quibd@client NRestarts)
inside systemctl stop quibd@broker
e2e_check "the broker stopping leaves the client's status socket" inside test -S /run/quibd/client.sock
gave_up() { [ "$(prop quibd@client NRestarts)" -gt "$CLIENT_RESTARTS" ]; }
e2e_wait_until 40 gave_up
e2e_check "a client whose broker is gone is started again" gave_up
e2e_check "... after giving up" journal_has quibd@client "Seems nobody is home"

e2e_finish
