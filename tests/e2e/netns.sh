# shellcheck shell=bash disable=SC2016,SC2034
# Network namespaces and quibd daemons for the end-to-end scenarios (through
# lib.sh), scripts/demo and scripts/bench. Sourcing it only defines things;
# e2e_setup starts the bookkeeping. QUIBD names the daemon to run. On exit it
# removes exactly what the script created with these helpers: the processes
# it started (by PID), its namespaces, its temporary directory, and the state
# directory if it had to make it. Before that removal it calls e2e_at_exit
# with the exit status; a script may define its own (to show logs, say).

# Addressing (documentation ranges only).
BROKER_IP_A=192.0.2.1        # broker's end of the link to client A
CLIENT_IP_A=192.0.2.2
BROKER_IP_B=198.51.100.1     # broker's end of the link to client B
CLIENT_IP_B=198.51.100.2
TUN_PREFIX=2001:db8:1::
TUN_PREFIX_LEN=64
BROKER_TUN_ADDR=2001:db8:1::1

E2E_TAG="qe$$"               # the start of every namespace's name
E2E_TMP=""
E2E_NETNS=()
declare -A E2E_PID=()        # name -> PID of the processes to end on exit
E2E_RC=""
E2E_STATE_ROOT=/var/lib/quibd
E2E_MADE_STATE_ROOT=0
E2E_LOG_LEVEL=DEBUG          # of the log4cpp set-up that e2e_conf writes

e2e_now_ms() {
    date +%s%3N
}

e2e_at_exit() {
    :
}

# e2e_setup TEMPLATE: from here on, the end of the script (also by INT or
# TERM) removes what it created; E2E_TMP is a new directory (mktemp TEMPLATE).
e2e_setup() {
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    E2E_TMP=$(mktemp -d "$1")
}

# Clients bind a directory of their own over this path in a private mount
# namespace; the host's directory itself is never written.
e2e_state_root() {
    [ -d "$E2E_STATE_ROOT" ] && return 0
    mkdir -p "$E2E_STATE_ROOT" || return 1
    E2E_MADE_STATE_ROOT=1
}

e2e_process_alive() {
    local pid=$1 state
    kill -0 "$pid" 2>/dev/null || return 1
    state=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ]
}

# Ends one process that this script started: TERM, then KILL after 3 s.
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
    e2e_at_exit "$rc"
    for ns in "${E2E_NETNS[@]}"; do
        ip netns del "$ns" 2>/dev/null
    done
    [ "$E2E_MADE_STATE_ROOT" = 1 ] && rmdir "$E2E_STATE_ROOT" 2>/dev/null
    [ -n "$E2E_TMP" ] && rm -rf "$E2E_TMP"
    exit "$rc"
}

# e2e_add_ns VAR ROLE: creates the namespace "<E2E_TAG><ROLE>" with loopback
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
# namespaces, both ends up and addressed (an empty ADDR: that end later).
e2e_link() {
    ip link add "$2" netns "$1" type veth peer name "$5" netns "$4" || return 1
    { [ -z "$3" ] || ip -n "$1" addr add "$3" dev "$2"; } && ip -n "$1" link set "$2" up &&
        { [ -z "$6" ] || ip -n "$4" addr add "$6" dev "$5"; } && ip -n "$4" link set "$5" up
}

# e2e_conf NAME KEY=VALUE...: writes $E2E_TMP/NAME.conf with those keys and
# a log4cpp set-up that writes "PRIORITY category message" records to
# $E2E_TMP/NAME.log; the status socket is $E2E_TMP/NAME.sock.
e2e_conf() {
    local name=$1 kv
    shift
    {
        echo "# $name"
        echo "quib.control.socket = $E2E_TMP/$name.sock"
        # A scenario run again with E2E_OFFLOAD set (off) sets it for every
        # daemon that does not choose for itself.
        case " $* " in
        *" quib.tun.offload="*) ;;
        *) [ -n "${E2E_OFFLOAD:-}" ] && echo "quib.tun.offload = $E2E_OFFLOAD" ;;
        esac
        for kv in "$@"; do
            echo "${kv%%=*} = ${kv#*=}"
        done
        echo "log4cpp.rootCategory = $E2E_LOG_LEVEL, A"
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
        "quib.broker.ip6prefixlen=$TUN_PREFIX_LEN" "quib.broker.keyfile=$E2E_TMP/$name.key" "$@"
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

# e2e_start_client NAME NS [STATEDIR]: runs "quibd NAME.conf client" in NS,
# in a private mount namespace where STATEDIR, or else an empty tmpfs, lies
# over /var/lib/quibd.
e2e_start_client() {
    local name=$1 ns=$2 mount=(mount -t tmpfs tmpfs)
    if [ -n "${3:-}" ]; then
        mkdir -p "$3"
        mount=(mount --bind "$3")
    fi
    : >"$E2E_TMP/$name.log"
    ip netns exec "$ns" unshare -m sh -c \
        'dir=$1 quibd=$2 conf=$3; shift 3; "$@" "$dir" && exec "$quibd" "$conf" client' \
        quibd-client "$E2E_STATE_ROOT" "$QUIBD" "$E2E_TMP/$name.conf" "${mount[@]}" \
        >"$E2E_TMP/$name.out" 2>"$E2E_TMP/$name.err" &
    E2E_PID[$name]=$!
}

# e2e_stop NAME: ends a daemon started above.
e2e_stop() {
    local name=$1
    [ -n "${E2E_PID[$name]:-}" ] || return 0
    e2e_kill_pid "${E2E_PID[$name]}"
    unset "E2E_PID[$name]"
}

# e2e_kill_hard NAME: ends a daemon started above with SIGKILL, as a crash
# would: it saves nothing and removes nothing on its way out.
e2e_kill_hard() {
    kill -KILL "${E2E_PID[$1]}" 2>/dev/null
    wait "${E2E_PID[$1]}" 2>/dev/null
    unset "E2E_PID[$1]"
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

# The routed prefix ("2001:db8:100:2a::/64") that a client's log last
# reports as offered.
e2e_routed_prefix() {
    sed -n "s|^INFO .*Routed prefix '\(.*\)'\$|\1|p" "$E2E_TMP/$1.log" | tail -n 1
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
# an address and carries it on its TUN device; sets ADDR_<NAME> (a dash in
# NAME becomes an underscore).
e2e_wait_client() {
    local name=$1 ns=$2 secs=$3 addr
    e2e_wait_until "$secs" e2e_has_record_prefix "$E2E_TMP/$name.log" \
        "INFO cTunnel Offered Tunnel Addr '" || return 1
    addr=$(e2e_offered_addr "$name")
    [ -n "$addr" ] || return 1
    printf -v "ADDR_${name//-/_}" '%s' "$addr"
    e2e_wait_until 5 e2e_ns_has_addr "$ns" "$addr"
}

# e2e_wait_routed NAME NS SECONDS: waits until the client reports its routed
# prefix and its LAN interface in NS carries the prefix's ::1; sets
# PREFIX_<NAME> (the prefix with its length) and LAN_<NAME> (that address).
e2e_wait_routed() {
    local name=$1 prefix
    e2e_wait_until "$3" e2e_has_record_re "$E2E_TMP/$name.log" "^INFO .*Routed prefix '" || return 1
    prefix=$(e2e_routed_prefix "$name")
    printf -v "PREFIX_${name//-/_}" '%s' "$prefix"
    printf -v "LAN_${name//-/_}" '%s' "${prefix%/*}1"
    e2e_wait_until 5 e2e_ns_has_addr "$2" "${prefix%/*}1"
}

# e2e_ping NS ADDR: three echoes through the tunnel, all answered; the
# output is kept in $E2E_TMP/ping.out.
e2e_ping() {
    ip netns exec "$1" ping -6 -n -c 3 -i 0.2 -w 6 "$2" >"$E2E_TMP/ping.out" 2>&1
}
