# shellcheck shell=bash disable=SC2016,SC2034 source=netns.sh
# Shared helpers for the end-to-end scenarios. Each scenario script sources
# this file and calls e2e_init "$@" first (the daemon's path is its first
# argument). The namespaces, daemons, waits and the clean-up on exit come
# from netns.sh; this file adds the verdicts and the scenarios' own tools.
# Exit status: 0 passed, 1 failed, 77 skipped.
. "$(dirname "${BASH_SOURCE[0]}")/netns.sh"

FOREIGN_IP=203.0.113.1       # a stranger linked to client A (e2e_foreign_link)
CLIENT_IP_F=203.0.113.2      # client A's end of that link

E2E_NAME=$(basename "$0" .sh)
E2E_FAILS=0

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

    e2e_setup "/tmp/quibd-e2e-$E2E_NAME.XXXXXX" || e2e_fatal "mktemp failed"
    e2e_state_root || e2e_skip "cannot create $E2E_STATE_ROOT"
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

# A failed scenario shows its logs before the clean-up removes them.
e2e_at_exit() {
    [ "$1" -eq 0 ] || [ "$1" -eq 77 ] || e2e_dump_logs
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

# e2e_broker_up NAME NS: starts the broker; one that has not started its
# UDP worker within 10 s ends the scenario.
e2e_broker_up() {
    e2e_start_broker "$1" "$2"
    e2e_wait_until 10 e2e_has_record "$E2E_TMP/$1.log" "INFO cBroker Starting UDP thread..." ||
        e2e_fatal "$1 did not start its UDP worker"
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
    e2e_udp_python send "$@"
}

# e2e_udp_ask NS SRC_IP SRC_PORT DST_IP DST_PORT HEX [THEN_HEX]: the same,
# then prints the first answer in hex (fails after 3 s without one) and
# sends THEN_HEX, when given, from the same endpoint.
e2e_udp_ask() {
    e2e_udp_python ask "$@"
}

# e2e_tsp_ask PORT TAG...: a request with these tags from client B's
# address and PORT, over B's link; prints the broker's answer in hex. THEN
# (hex) goes out after the answer.
e2e_tsp_ask() {
    local port=$1
    shift
    e2e_udp_ask "$NS_B" "$CLIENT_IP_B" "$port" "$BROKER_IP_B" 3653 \
        "$(e2e_tsp_hex request "$@")" ${THEN:+"$THEN"}
}

e2e_udp_python() {
    ip netns exec "$2" "$E2E_PYTHON" - "$1" "${@:3}" <<'EOF'
import socket, sys
mode, src_ip, src_port, dst_ip, dst_port, data = sys.argv[1:7]
dst = (dst_ip, int(dst_port))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((src_ip, int(src_port)))
s.sendto(bytes.fromhex(data), dst)
if mode == "ask":
    s.settimeout(3)
    try:
        print(s.recv(2048).hex())
    except OSError:
        sys.exit(1)
    for later in sys.argv[7:]:
        s.sendto(bytes.fromhex(later), dst)
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

# e2e_tsp_tag HEX NAME: the value of tag NAME in a setup message in hex.
e2e_tsp_tag() {
    "$E2E_PYTHON" -c 'import sys
for s in bytes.fromhex(sys.argv[1]).decode().split("\0"):
    if s.startswith(sys.argv[2] + "="): print(s.split("=", 1)[1])' "$1" "$2"
}

# The 16 bytes of an IPv6 address in hex.
e2e_ip6_hex() {
    "$E2E_PYTHON" -c 'import ipaddress, sys; print(ipaddress.IPv6Address(sys.argv[1]).packed.hex())' "$1"
}

# e2e_build_deb QUIBD DIR: the Debian package of the build tree that holds
# the daemon QUIBD, made by cpack in DIR (its output in DIR.log); the
# package's path in E2E_DEB.
e2e_build_deb() {
    local build debs
    build=$(dirname "$(readlink -f "$1")")
    [ -f "$build/CPackConfig.cmake" ] || { echo "no CPackConfig.cmake beside $1"; return 1; }
    cpack -G DEB -B "$2" --config "$build/CPackConfig.cmake" >"$2.log" 2>&1 ||
        { cat "$2.log"; echo "cpack failed"; return 1; }
    mapfile -t debs < <(find "$2" -maxdepth 1 -name '*.deb')
    [ "${#debs[@]}" -eq 1 ] || { echo "cpack made ${#debs[@]} packages, not one"; return 1; }
    E2E_DEB=${debs[0]}
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

# e2e_rx_packets NS DEV: the packets DEV in NS has taken in; on a TUN device,
# the frames its daemon wrote into the kernel.
e2e_rx_packets() {
    ip netns exec "$1" cat "/sys/class/net/$2/statistics/rx_packets"
}

# e2e_send_pings NS COUNT PING-ARGS...: COUNT echo requests 0.2 s apart,
# answered or not, and at most 1 s of waiting for the last answer; the
# output is kept in $E2E_TMP/ping.out.
e2e_send_pings() {
    ip netns exec "$1" ping -n -c "$2" -i 0.2 -W 1 "${@:3}" >"$E2E_TMP/ping.out" 2>&1
    return 0
}

# e2e_offload NAME: "on" when the daemon's TUN device has segmentation
# offload (it says otherwise when the kernel refused it or it was off).
e2e_offload() {
    if grep -q 'quib.tun.offload = off' "$E2E_TMP/$1.conf" ||
        grep -q 'TUN segmentation offload refused' "$E2E_TMP/$1.log"; then
        echo off
    else
        echo on
    fi
}
