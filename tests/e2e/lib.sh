# shellcheck shell=bash disable=SC2016,SC2034
# Shared helpers for the end-to-end scenarios. Each scenario script sources
# this file and calls e2e_init "$@" first (the daemon's path is its first
# argument). The helpers build network namespaces joined by veth links, start
# quibd in them, wait with deadlines, and on exit remove exactly what this
# script created: the daemons it started (by PID), its namespaces and its
# temporary directory. Exit status: 0 passed, 1 failed, 77 skipped.

# Addressing of every scenario (documentation ranges only).
BROKER_IP_A=192.0.2.1        # broker's end of the link to client A
CLIENT_IP_A=192.0.2.2
BROKER_IP_B=198.51.100.1     # broker's end of the link to client B
CLIENT_IP_B=198.51.100.2
FOREIGN_IP=203.0.113.1       # a stranger linked to client A (e2e_foreign_link)
CLIENT_IP_F=203.0.113.2      # client A's end of that link
TUN_PREFIX=2001:db8:1::
TUN_PREFIX_LEN=64
BROKER_TUN_ADDR=2001:db8:1::1

E2E_NAME=$(basename "$0" .sh)
E2E_TAG="qe$$"
E2E_TMP=""
E2E_FAILS=0
E2E_NETNS=()
declare -A E2E_PID=()
E2E_RC=""
E2E_STATE_ROOT=/var/lib/quibd

e2e_banner() {
    echo "************************************************************"
    echo "$@"
    echo "************************************************************"
}

e2e_skip() {
    e2e_banner "SKIPPED: $E2E_NAME: $*"
    exit 77
}

e2e_log() {
    echo "[$E2E_NAME] $*"
}

e2e_ok() {
    echo "ok   - $*"
}

e2e_fail() {
    echo "FAIL - $*"
    E2E_FAILS=$((E2E_FAILS + 1))
}

# e2e_check DESCRIPTION COMMAND...: one assertion, counted on failure.
e2e_check() {
    local what=$1
    shift
    if "$@"; then
        e2e_ok "$what"
    else
        e2e_fail "$what"
    fi
}

# A failure after which the scenario cannot go on.
e2e_fatal() {
    e2e_fail "$*"
    exit 1
}

e2e_finish() {
    if [ "$E2E_FAILS" -ne 0 ]; then
        echo "$E2E_NAME: $E2E_FAILS check(s) failed"
        exit 1
    fi
    echo "$E2E_NAME: all checks passed"
    exit 0
}

e2e_now_ms() {
    date +%s%3N
}

# ---------------------------------------------------------------- set-up

e2e_init() {
    QUIBD=${1:-}
    if [ -z "$QUIBD" ]; then
        echo "usage: bash $0 /path/to/quibd" >&2
        exit 2
    fi
    [ "$(id -u)" = 0 ] || e2e_skip "needs root (network namespaces, TUN devices, mounts)"
    [ -c /dev/net/tun ] || e2e_skip "/dev/net/tun is missing"
    local tool
    for tool in ip ping unshare mount timeout ss od; do
        command -v "$tool" >/dev/null 2>&1 || e2e_skip "the tool '$tool' is not installed"
    done
    [ -x "$QUIBD" ] || e2e_fatal "daemon '$QUIBD' is not an executable file"
    QUIBD=$(readlink -f "$QUIBD")

    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    E2E_TMP=$(mktemp -d "/tmp/quibd-e2e-$E2E_NAME.XXXXXX") || e2e_fatal "mktemp failed"
    # Clients bind a private directory over this path in their own mount
    # namespace; the host's directory itself is never written.
    mkdir -p "$E2E_STATE_ROOT" || e2e_skip "cannot create $E2E_STATE_ROOT"
    if ! ip netns add "${E2E_TAG}probe" 2>/dev/null; then
        e2e_skip "cannot create network namespaces here"
    fi
    ip netns del "${E2E_TAG}probe"
}

e2e_dump_logs() {
    local f
    [ -n "$E2E_TMP" ] && [ -d "$E2E_TMP" ] || return 0
    for f in "$E2E_TMP"/*.log "$E2E_TMP"/*.out "$E2E_TMP"/*.err; do
        [ -s "$f" ] || continue
        echo "----- ${f##*/} (last 80 lines) -----"
        tail -n 80 "$f"
    done
    echo "----- end of logs -----"
}

e2e_process_alive() {
    local pid=$1 state
    kill -0 "$pid" 2>/dev/null || return 1
    state=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ]
}

# Ends one daemon that this script started: TERM, then KILL after 3 s.
e2e_kill_pid() {
    local pid=$1
    e2e_process_alive "$pid" || { wait "$pid" 2>/dev/null; return 0; }
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 30); do
        e2e_process_alive "$pid" || break
        sleep 0.1
    done
    e2e_process_alive "$pid" && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

e2e_cleanup() {
    local rc=$? name ns
    trap - EXIT INT TERM
    for name in "${!E2E_PID[@]}"; do
        e2e_kill_pid "${E2E_PID[$name]}"
    done
    if [ "$rc" -ne 0 ] && [ "$rc" -ne 77 ]; then
        e2e_dump_logs
    fi
    for ns in "${E2E_NETNS[@]}"; do
        ip netns del "$ns" 2>/dev/null
    done
    [ -n "$E2E_TMP" ] && rm -rf "$E2E_TMP"
    exit "$rc"
}

# e2e_add_ns VAR ROLE: creates the namespace "qe<pid><ROLE>" with loopback
# up and stores its name in VAR.
e2e_add_ns() {
    local ns="${E2E_TAG}$2"
    ip netns add "$ns" || return 1
    E2E_NETNS+=("$ns")
    printf -v "$1" '%s' "$ns"
    ip -n "$ns" link set lo up
    # No router solicitations: they would only add noise to the tunnel.
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.router_solicitations=0
}

# e2e_link NS1 IF1 ADDR1/LEN NS2 IF2 ADDR2/LEN: a veth pair between two
# namespaces, both ends addressed and up.
e2e_link() {
    ip link add "$2" netns "$1" type veth peer name "$5" netns "$4" || return 1
    ip -n "$1" addr add "$3" dev "$2" && ip -n "$1" link set "$2" up &&
        ip -n "$4" addr add "$6" dev "$5" && ip -n "$4" link set "$5" up
}

# e2e_topology N: NS_BROKER and N (1 or 2) client namespaces NS_A, NS_B.
e2e_topology() {
    e2e_add_ns NS_BROKER b || e2e_fatal "cannot create the broker namespace"
    e2e_add_ns NS_A a || e2e_fatal "cannot create namespace A"
    e2e_link "$NS_BROKER" to-a "$BROKER_IP_A/24" "$NS_A" up0 "$CLIENT_IP_A/24" ||
        e2e_fatal "cannot link the broker and client A"
    if [ "${1:-1}" -ge 2 ]; then
        e2e_add_ns NS_B c || e2e_fatal "cannot create namespace B"
        e2e_link "$NS_BROKER" to-b "$BROKER_IP_B/24" "$NS_B" up0 "$CLIENT_IP_B/24" ||
            e2e_fatal "cannot link the broker and client B"
    fi
}

# e2e_foreign_link: NS_F, a namespace that is not the broker, linked to
# client A.
e2e_foreign_link() {
    e2e_add_ns NS_F f || e2e_fatal "cannot create the stranger's namespace"
    e2e_link "$NS_A" side0 "$CLIENT_IP_F/24" "$NS_F" up0 "$FOREIGN_IP/24" ||
        e2e_fatal "cannot link client A and the stranger"
}

# e2e_conf NAME KEY=VALUE...: writes $E2E_TMP/NAME.conf with those keys and
# a log4cpp set-up that writes "PRIORITY category message" records to
# $E2E_TMP/NAME.log.
e2e_conf() {
    local name=$1 kv
    shift
    {
        echo "# $name"
        for kv in "$@"; do
            echo "${kv%%=*} = ${kv#*=}"
        done
        echo "log4cpp.rootCategory = DEBUG, A"
        echo "log4cpp.appender.A = org.apache.log4j.FileAppender"
        echo "log4cpp.appender.A.fileName = $E2E_TMP/$name.log"
        echo "log4cpp.appender.A.layout = org.apache.log4j.PatternLayout"
        echo "log4cpp.appender.A.layout.ConversionPattern = %p %c %m%n"
    } >"$E2E_TMP/$name.conf"
}

e2e_broker_conf() {
    local name=$1
    shift
    e2e_conf "$name" "quib.broker.ip6prefix=$TUN_PREFIX" \
        "quib.broker.ip6prefixlen=$TUN_PREFIX_LEN" "$@"
}

# ---------------------------------------------------------------- daemons

# e2e_start_broker NAME NS: runs "quibd NAME.conf broker" in NS.
e2e_start_broker() {
    local name=$1 ns=$2
    : >"$E2E_TMP/$name.log"
    ip netns exec "$ns" "$QUIBD" "$E2E_TMP/$name.conf" broker \
        >"$E2E_TMP/$name.out" 2>"$E2E_TMP/$name.err" &
    E2E_PID[$name]=$!
}

# e2e_start_client NAME NS STATEDIR: runs "quibd NAME.conf client" in NS, in
# a private mount namespace where STATEDIR is bound over /var/lib/quibd.
e2e_start_client() {
    local name=$1 ns=$2 state=$3
    mkdir -p "$state"
    : >"$E2E_TMP/$name.log"
    ip netns exec "$ns" unshare -m sh -c \
        'mount --bind "$1" "$2" && exec "$3" "$4" client' quibd-client \
        "$state" "$E2E_STATE_ROOT" "$QUIBD" "$E2E_TMP/$name.conf" \
        >"$E2E_TMP/$name.out" 2>"$E2E_TMP/$name.err" &
    E2E_PID[$name]=$!
}

# e2e_run_client_fg NAME NS: runs a client to its end (at most 20 s) in a
# private mount namespace with a tmpfs on /var/lib/quibd; E2E_RC = status.
e2e_run_client_fg() {
    local name=$1 ns=$2
    timeout 20 ip netns exec "$ns" unshare -m sh -c \
        'mount -t tmpfs tmpfs "$1" && exec "$2" "$3" client' quibd-client \
        "$E2E_STATE_ROOT" "$QUIBD" "$E2E_TMP/$name.conf" \
        >"$E2E_TMP/$name.out" 2>"$E2E_TMP/$name.err"
    E2E_RC=$?
}

# e2e_stop NAME: ends a daemon started above.
e2e_stop() {
    local name=$1
    [ -n "${E2E_PID[$name]:-}" ] || return 0
    e2e_kill_pid "${E2E_PID[$name]}"
    unset "E2E_PID[$name]"
}

e2e_alive() {
    e2e_process_alive "${E2E_PID[$1]}"
}

# e2e_wait_exit NAME SECONDS: waits for the daemon to end by itself; on
# success E2E_RC holds its exit status.
e2e_wait_exit() {
    local name=$1 pid=${E2E_PID[$1]}
    local deadline=$(($(e2e_now_ms) + $2 * 1000))
    while e2e_process_alive "$pid"; do
        [ "$(e2e_now_ms)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
    wait "$pid"
    E2E_RC=$?
    unset "E2E_PID[$name]"
    return 0
}

# ---------------------------------------------------------------- records

# e2e_has_record FILE LINE: the log holds exactly this record.
e2e_has_record() {
    grep -qxF -- "$2" "$1" 2>/dev/null
}

# e2e_has_record_prefix FILE TEXT: a record of the log begins with TEXT.
e2e_has_record_prefix() {
    awk -v p="$2" 'index($0, p) == 1 { found = 1; exit } END { exit !found }' "$1" 2>/dev/null
}

e2e_has_record_re() {
    grep -qE -- "$2" "$1" 2>/dev/null
}

# e2e_wait_until SECONDS COMMAND...: polls COMMAND every 0.1 s until it
# succeeds or the time is up.
e2e_wait_until() {
    local deadline=$(($(e2e_now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(e2e_now_ms)" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# The tunnel address that a client's log reports as offered.
e2e_offered_addr() {
    sed -n "s|^INFO cTunnel Offered Tunnel Addr '\(.*\)/[0-9]*'\$|\1|p" "$E2E_TMP/$1.log" | head -n 1
}

# The TUN device a daemon reports as created.
e2e_tun_name() {
    sed -n "s|^INFO cBroker Created Tun '\(.*\)'\$|\1|p" "$E2E_TMP/$1.log" | head -n 1
}

# e2e_ns_has_addr NS ADDR: ADDR is a usable (not tentative) global address
# in NS.
e2e_ns_has_addr() {
    ip -n "$1" -6 addr show scope global 2>/dev/null |
        grep -v tentative | grep -qF "inet6 $2/"
}

# e2e_wait_client NAME NS SECONDS: waits until the client has been offered
# an address and carries it on its TUN device; sets ADDR_<NAME>.
e2e_wait_client() {
    local name=$1 ns=$2 secs=$3 addr
    e2e_wait_until "$secs" e2e_has_record_prefix "$E2E_TMP/$name.log" \
        "INFO cTunnel Offered Tunnel Addr '" || return 1
    addr=$(e2e_offered_addr "$name")
    [ -n "$addr" ] || return 1
    printf -v "ADDR_$name" '%s' "$addr"
    e2e_wait_until 5 e2e_ns_has_addr "$ns" "$addr"
}

# e2e_ping NS ADDR: three echoes through the tunnel, all answered; the
# output is kept in $E2E_TMP/ping.out.
e2e_ping() {
    ip netns exec "$1" ping -6 -n -c 3 -i 0.2 -w 6 "$2" >"$E2E_TMP/ping.out" 2>&1
}

# The expected text form of the broker's address for identifier ID under
# 2001:db8:1::/64: the identifier fills the last 32 bits.
e2e_addr_for_id() {
    local id=$1 hi lo
    hi=$(((id >> 16) & 0xffff))
    lo=$((id & 0xffff))
    if [ "$hi" -eq 0 ]; then
        printf '2001:db8:1::%x' "$lo"
    else
        printf '2001:db8:1::%x:%x' "$hi" "$lo"
    fi
}

# The UDP port of the socket that process PID holds in NS.
e2e_udp_port() {
    ip netns exec "$1" ss -Hunap 2>/dev/null |
        awk -v p="pid=$2," 'index($0, p) { n = split($4, a, ":"); print a[n]; exit }'
}

# e2e_send_udp NS SRC_IP SRC_PORT DST_IP DST_PORT HEX: one datagram with
# these exact bytes from that source endpoint.
e2e_send_udp() {
    ip netns exec "$1" "$E2E_PYTHON" - "$2" "$3" "$4" "$5" "$6" <<'EOF'
import socket, sys
src_ip, src_port, dst_ip, dst_port, data = sys.argv[1:6]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((src_ip, int(src_port)))
s.sendto(bytes.fromhex(data), (dst_ip, int(dst_port)))
s.close()
EOF
}

# The system's interpreter starts fastest; any python3 will do.
e2e_find_python() {
    E2E_PYTHON=/usr/bin/python3
    [ -x "$E2E_PYTHON" ] || E2E_PYTHON=$(command -v python3) || return 1
}

# A setup message in hex: each argument is one NUL-terminated string.
e2e_tsp_hex() {
    printf '%s\0' "$@" | od -An -v -tx1 | tr -d ' \n'
}

# The 16 bytes of an IPv6 address in hex.
e2e_ip6_hex() {
    "$E2E_PYTHON" -c 'import ipaddress, sys; print(ipaddress.IPv6Address(sys.argv[1]).packed.hex())' "$1"
}

# ---------------------------------------------------------------- figures

# e2e_proc_kib PID FIELD: a "FIELD: N kB" line of /proc/PID/status (VmRSS,
# VmHWM, ...), in KiB; empty when the process or field is gone.
e2e_proc_kib() {
    awk -v f="$2:" '$1 == f { print $2; exit }' "/proc/$1/status" 2>/dev/null
}

# e2e_udp_stat NS FIELD: a UDP counter of /proc/net/snmp in NS (InDatagrams,
# RcvbufErrors, InErrors, ...).
e2e_udp_stat() {
    ip netns exec "$1" cat /proc/net/snmp 2>/dev/null | awk -v f="$2" '
        $1 == "Udp:" && !names { for (i = 2; i <= NF; i++) col[$i] = i; names = 1; next }
        $1 == "Udp:" && names { print $col[f]; exit }'
}

# e2e_count_records FILE LINE: how many records of the log are exactly LINE.
e2e_count_records() {
    grep -cxF -- "$2" "$1" 2>/dev/null || true
}
