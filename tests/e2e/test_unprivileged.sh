# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# Both modes run as a non-root user (uid and gid 65534, no supplementary
# group) holding only CAP_NET_ADMIN, with no way to gain more, as the
# systemd unit runs them: the broker creates and addresses its TUN device,
# the client sets up its tunnel, installs the default route, writes its
# tunnel identifier to the state directory it owns, and gets the same
# address when it starts again; a ping crosses the tunnel. As under the
# unit's ProtectSystem=strict, the root file system is read-only for them;
# only the state directory and this test's directory (logs) are writable.
# Without the capability the daemon stops at the TUN device. The broker logs through
# the example configuration's file block with per-packet lines for the
# cBroker category only.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/example_conf.sh"
e2e_init "$@"
for tool in setpriv mknod; do
    command -v "$tool" >/dev/null 2>&1 || e2e_skip "the tool '$tool' is not installed"
done

EXAMPLE="$(cd "$(dirname "$0")/../.." && pwd)/packaging/quibd.conf"
[ -f "$EXAMPLE" ] || e2e_fatal "no example configuration at $EXAMPLE"
RUN_UID=65534
CAP_NET_ADMIN_MASK=0000000000001000
# The user needs to reach the daemon, its configuration and its logs.
chmod 755 "$E2E_TMP"
install -m 755 "$QUIBD" "$E2E_TMP/quibd"
# A status socket that cannot be made stops the start: each daemon gets
# one in a directory of the user's, as RuntimeDirectory= gives it.
install -d -m 700 -o "$RUN_UID" -g "$RUN_UID" "$E2E_TMP/run"
own_socket() { echo "quib.control.socket = $E2E_TMP/run/$1.sock" >>"$E2E_TMP/$1.conf"; }

# unpriv_start NAME NS MODE CAPS [STATEDIR]: runs "quibd NAME.conf MODE" in
# NS as $RUN_UID with the capabilities CAPS (",+net_admin" or ""), in a
# private mount namespace where /dev/net/tun is a node of this test with
# mode 0666, as on a standard system (when PRIVATE_TUN is 1), when given,
# STATEDIR is /var/lib/quibd, and the root file system is read-only apart
# from STATEDIR and $E2E_TMP.
unpriv_start() {
    local name=$1 ns=$2 mode=$3 caps=$4 state=${5:-}
    mkdir -p "$E2E_TMP/dev-$name"
    unpriv_log "$E2E_TMP/$name.log"
    ip netns exec "$ns" unshare -m sh -c '
        if [ "$8" = 1 ]; then
            mount -t tmpfs -o mode=755 tmpfs "$1" && mknod -m 666 "$1/tun" c 10 200 &&
                mount --bind "$1/tun" /dev/net/tun || exit 3
        fi
        if [ -n "$2" ]; then mount --bind "$2" /var/lib/quibd || exit 3; fi
        mount --bind "$9" "$9" && mount -o remount,bind,ro / || exit 3
        exec setpriv --reuid="$3" --regid="$3" --clear-groups --no-new-privs \
            --inh-caps="-all$4" --ambient-caps="-all$4" --bounding-set="-all$4" \
            "$5" "$6" "$7"' quibd-unpriv \
        "$E2E_TMP/dev-$name" "$state" "$RUN_UID" "$caps" "$E2E_TMP/quibd" \
        "$E2E_TMP/$name.conf" "$mode" "$PRIVATE_TUN" "$E2E_TMP" \
        >"$E2E_TMP/$name.out" 2>"$E2E_TMP/$name.err" &
    E2E_PID[$name]=$!
}

# verdict DESCRIPTION STATUS [FOUND]: one assertion on the status of what
# ran just before; FOUND is shown on failure.
verdict() {
    if [ "$2" -eq 0 ]; then e2e_ok "$1"; else e2e_fail "$1 (found:${3:-})"; fi
}

# An empty log file that the user may append to.
unpriv_log() {
    : >"$1"
    chown "$RUN_UID:$RUN_UID" "$1"
}

# proc_field PID NAME: a field of /proc/PID/status, blanks squeezed.
proc_field() {
    sed -n "s/^$2:[[:space:]]*//p" "/proc/$1/status" | tr -s '\t ' '  ' | sed 's/ *$//'
}

# check_credentials NAME: the running daemon is quibd, runs as $RUN_UID in
# every id with no group, and holds CAP_NET_ADMIN alone in every set.
check_credentials() {
    local name=$1 pid=${E2E_PID[$1]} set
    e2e_check "$name: the process is the daemon" \
        [ "$(readlink "/proc/$pid/exe")" = "$E2E_TMP/quibd" ]
    e2e_check "$name: real, effective, saved and file uid are $RUN_UID" \
        [ "$(proc_field "$pid" Uid)" = "$RUN_UID $RUN_UID $RUN_UID $RUN_UID" ]
    e2e_check "$name: every gid is $RUN_UID, no supplementary group" \
        [ "$(proc_field "$pid" Gid)/$(proc_field "$pid" Groups)" = "$RUN_UID $RUN_UID $RUN_UID $RUN_UID/" ]
    local sets=""
    for set in CapInh CapPrm CapEff CapBnd CapAmb; do
        sets="$sets $set=$(proc_field "$pid" "$set")"
    done
    local want=" CapInh=$CAP_NET_ADMIN_MASK CapPrm=$CAP_NET_ADMIN_MASK CapEff=$CAP_NET_ADMIN_MASK"
    want="$want CapBnd=$CAP_NET_ADMIN_MASK CapAmb=$CAP_NET_ADMIN_MASK"
    [ "$sets" = "$want" ]
    verdict "$name: CAP_NET_ADMIN alone in every capability set" $? "$sets"
    e2e_check "$name: no new privileges can be gained" [ "$(proc_field "$pid" NoNewPrivs)" = 1 ]
    e2e_check "$name: the root file system is read-only for it" \
        awk '$5 == "/" { split($6, o, ","); if (o[1] == "ro") ro = 1 } END { exit !ro }' \
        "/proc/$pid/mountinfo"
}

e2e_topology 1

# ------------------------------------------------------------ device node

# The kernel lets a user open /dev/net/tun only when the node's mode allows
# it; this machine's own node is used here when it is not world-writable.
HOST_TUN_MODE=$(stat -c %a /dev/net/tun)
e2e_log "this machine's /dev/net/tun has mode $HOST_TUN_MODE"
# The daemons get a node of their own with mode 0666 in their mount
# namespace, so that the test does not depend on this machine's node; where
# no node can be made, the machine's own serves when users may open it.
mkdir -p "$E2E_TMP/dev-probe"
if unshare -m sh -c 'mount -t tmpfs tmpfs "$1" && mknod -m 666 "$1/tun" c 10 200 &&
    mount --bind "$1/tun" /dev/net/tun' - "$E2E_TMP/dev-probe" 2>"$E2E_TMP/probe.err"; then
    PRIVATE_TUN=1
elif [ "$HOST_TUN_MODE" = 666 ]; then
    PRIVATE_TUN=0
    e2e_log "no private TUN node ($(cat "$E2E_TMP/probe.err")); using the machine's"
else
    e2e_skip "a non-root user cannot open /dev/net/tun (mode $HOST_TUN_MODE) and no private" \
        "node can be made here: $(cat "$E2E_TMP/probe.err")"
fi
if [ "$HOST_TUN_MODE" != 666 ]; then
    e2e_broker_conf nodev
    own_socket nodev
    unpriv_log "$E2E_TMP/nodev.log"
    ip netns exec "$NS_BROKER" setpriv --reuid="$RUN_UID" --regid="$RUN_UID" --clear-groups \
        --no-new-privs --inh-caps=-all,+net_admin --ambient-caps=-all,+net_admin \
        --bounding-set=-all,+net_admin "$E2E_TMP/quibd" "$E2E_TMP/nodev.conf" broker \
        >"$E2E_TMP/nodev.out" 2>"$E2E_TMP/nodev.err" </dev/null
    RC=$?
    e2e_check "with mode $HOST_TUN_MODE the user cannot open it: \"Open clonedev:: Permission denied\", 255" \
        sh -c '[ "$1" -eq 255 ] && grep -qxF "Open clonedev:: Permission denied" "$2"' - \
        "$RC" "$E2E_TMP/nodev.err"
fi

# ------------------------------------------------------------ no capability

e2e_broker_conf nocap
own_socket nocap
unpriv_start nocap "$NS_BROKER" broker ""
e2e_wait_exit nocap 10 || e2e_fatal "the broker without CAP_NET_ADMIN did not stop"
e2e_check "without CAP_NET_ADMIN the broker stops at TUNSETIFF with status 255" \
    sh -c '[ "$1" -eq 255 ] && grep -qxF "set tunif flags: Operation not permitted" "$2" &&
        grep -qxF "ERROR cBroker Problems setting up the tun interface. Bailing out" "$3"' - \
    "$E2E_RC" "$E2E_TMP/nocap.err" "$E2E_TMP/nocap.log"

# ------------------------------------------------------------ broker

BROKER_LOG="$E2E_TMP/broker.log"
# The broker's key file lives where its user may write, as in its state
# directory under systemd.
install -d -m 700 -o "$RUN_UID" -g "$RUN_UID" "$E2E_TMP/broker-state"
{
    echo "quib.broker.ip6prefix = $TUN_PREFIX"
    echo "quib.broker.ip6prefixlen = $TUN_PREFIX_LEN"
    echo "quib.broker.keyfile = $E2E_TMP/broker-state/broker.key"
    echo "quib.control.socket = $E2E_TMP/run/broker.sock"
    example_log_block "$EXAMPLE" FileAppender | sed "s|/var/log/quibd/quibd.log|$BROKER_LOG|"
    example_log_block "$EXAMPLE" log4cpp.category.
} >"$E2E_TMP/broker.conf"
grep -q '^log4cpp.category.cBroker = DEBUG$' "$E2E_TMP/broker.conf" ||
    e2e_fatal "the example has no per-category debug line for cBroker"
unpriv_start broker "$NS_BROKER" broker ,+net_admin
# Records look like "2026-01-02 03:04:05,678 INFO cBroker: text".
broker_has() {
    grep -qE "^[0-9-]+ [0-9:,]+ $1\$" "$BROKER_LOG"
}
e2e_wait_until 10 broker_has "INFO cBroker: Starting TUN thread\.\.\." ||
    e2e_fatal "the unprivileged broker did not start"
check_credentials broker
BROKER_TUN=$(sed -n "s/.* INFO cBroker: Created Tun '\(.*\)'\$/\1/p" "$BROKER_LOG")
e2e_check "the broker's TUN device $BROKER_TUN carries $BROKER_TUN_ADDR/$TUN_PREFIX_LEN" \
    sh -c 'ip -n "$1" -6 addr show dev "$2" | grep -qF "inet6 $3/$4 "' - \
    "$NS_BROKER" "$BROKER_TUN" "$BROKER_TUN_ADDR" "$TUN_PREFIX_LEN"
e2e_check "the broker's UDP socket is bound to port 3653" \
    [ "$(e2e_udp_port "$NS_BROKER" "${E2E_PID[broker]}")" = 3653 ]

# ------------------------------------------------------------ client

STATE="$E2E_TMP/state"
mkdir -p "$STATE"
chown "$RUN_UID:$RUN_UID" "$STATE"
chmod 700 "$STATE"
e2e_conf clientA "quib.broker.address=$BROKER_IP_A" "quib.route.default=1"
own_socket clientA
unpriv_start clientA "$NS_A" client ,+net_admin "$STATE"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "the unprivileged client got no tunnel address"
FIRST_ADDR=$ADDR_clientA
e2e_log "client A: $FIRST_ADDR"
check_credentials clientA
TUN_A=$(e2e_tun_name clientA)
e2e_check "the client installed the default route through $TUN_A" \
    sh -c 'ip -n "$1" -6 route show default | grep -qF "default dev $2 "' - "$NS_A" "$TUN_A"
if e2e_ping "$NS_A" "$BROKER_TUN_ADDR"; then
    e2e_ok "client A pings the broker's tunnel address"
else
    e2e_fail "client A pings the broker's tunnel address"
fi

e2e_wait_until 5 test -s "$STATE/tunid" || e2e_fatal "the client wrote no $STATE/tunid"
ID_TEXT=$(cat "$STATE/tunid")
e2e_check "the state file belongs to uid $RUN_UID" [ "$(stat -c %u "$STATE/tunid")" = "$RUN_UID" ]
e2e_check "the state file holds the identifier of the address ($ID_TEXT)" \
    [ "$FIRST_ADDR" = "$(e2e_addr_for_id "$ID_TEXT")" ]

# Restarted, the client reads the identifier back and gets the same address.
e2e_stop clientA
cp "$E2E_TMP/clientA.conf" "$E2E_TMP/clientA2.conf"
sed -i "s|$E2E_TMP/clientA.log|$E2E_TMP/clientA2.log|" "$E2E_TMP/clientA2.conf"
unpriv_start clientA2 "$NS_A" client ,+net_admin "$STATE"
e2e_wait_client clientA2 "$NS_A" 15 || e2e_fatal "the restarted client got no tunnel address"
e2e_check "the restarted unprivileged client got the same address" \
    [ "$ADDR_clientA2" = "$FIRST_ADDR" ]
check_credentials clientA2

# ------------------------------------------------------------ logging

e2e_check "per-packet lines of cBroker are logged at DEBUG" \
    broker_has "DEBUG cBroker: Received [0-9]+ bytes on UDP from $CLIENT_IP_A:[0-9]+"
e2e_check "other categories stay at INFO: no DEBUG record of cTunnel, cTSPMsg or cPktQueu" \
    sh -c '! grep -qE " DEBUG (cTunnel|cTSPMsg|cPktQueu): " "$1"' - "$BROKER_LOG"
e2e_check "INFO records of other categories still arrive" \
    broker_has "INFO cTunnel: .*"
e2e_check "nothing went to the broker's standard error" [ ! -s "$E2E_TMP/broker.err" ]

e2e_finish
