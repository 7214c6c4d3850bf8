# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# The client listens only to the broker's endpoint. A forged offer sent to
# its port from the broker's address but another port, or from a stranger's
# address with the broker's port, must not configure it; once established,
# forged data frames from such endpoints must not reach its TUN device.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_find_python || e2e_skip "python3 is needed to forge datagrams"

e2e_topology 1
e2e_foreign_link
e2e_broker_conf broker
e2e_conf clientA "quib.broker.address=$BROKER_IP_A"
STATE="$E2E_TMP/stateA"
FORGED_PREFIX=2001:db8:bad::
FORGED_ADDR=2001:db8:bad::beef

# The client starts first: its requests go unanswered, so it stays in setup.
e2e_start_client clientA "$NS_A" "$STATE"
e2e_wait_until 10 e2e_has_record_prefix "$E2E_TMP/clientA.log" "INFO cBroker Connecting to " ||
    e2e_fatal "client A did not start"
client_port() {
    PORT=$(e2e_udp_port "$NS_A" "${E2E_PID[clientA]}")
    [ -n "$PORT" ]
}
e2e_wait_until 5 client_port || e2e_fatal "cannot find client A's UDP port"
e2e_log "client A sends from port $PORT"

# forge NS SRC_IP DST_IP HEX: one datagram from SRC_IP with the broker's
# port, or port 3654 when SRC_IP is the broker's own address.
forge() {
    local port=3653
    [ "$2" = "$BROKER_IP_A" ] && port=3654
    e2e_send_udp "$1" "$2" "$port" "$3" "$PORT" "$4" ||
        e2e_fatal "could not send a forged datagram from $2:$port"
}

received() {
    grep -cxF "DEBUG cBroker Receive $1 bytes from UDP" "$E2E_TMP/clientA.log"
}

received_at_least() {
    [ "$(received "$1")" -ge "$2" ]
}

# forge_both HEX: the datagram from the broker's address with another port
# and from the stranger with the broker's port. Waits (at most 2 s) until the
# client has read both; a client may drop them without a record, so the
# wait only bounds the time it is given.
forge_both() {
    local size=$((${#1} / 2)) before
    before=$(received "$size")
    forge "$NS_BROKER" "$BROKER_IP_A" "$CLIENT_IP_A" "$1"
    forge "$NS_F" "$FOREIGN_IP" "$CLIENT_IP_F" "$1"
    e2e_wait_until 2 received_at_least "$size" $((before + 2))
    sleep 0.2
}

OFFER=$(e2e_tsp_hex offer tunnelid=48879 "ip6prefix=$FORGED_PREFIX" ip6prefixlen=64 \
    "ip6addr=$FORGED_ADDR" keepalive=30)
forge_both "$OFFER"
e2e_check "a forged offer did not configure the client" \
    sh -c "! grep -qF 'Offered Tunnel Addr' '$E2E_TMP/clientA.log'"
e2e_check "no address from the forged offer on the client's TUN device" \
    sh -c "! ip -n '$NS_A' -6 addr show | grep -qF '$FORGED_PREFIX'"
e2e_check "no identifier was stored from the forged offer" [ ! -e "$STATE/tunid" ]
e2e_check "the client still runs" e2e_alive clientA

# The real broker comes up; the client's next retry (at most 10 s after the
# last datagram it saw) sets up the tunnel.
e2e_start_broker broker "$NS_BROKER"
e2e_wait_client clientA "$NS_A" 20 || e2e_fatal "client A got no tunnel address from the real broker"
e2e_log "client A has $ADDR_clientA"
case $ADDR_clientA in
    2001:db8:1::*) e2e_ok "the client took the real broker's offer" ;;
    *) e2e_fail "the client took the real broker's offer (got $ADDR_clientA)" ;;
esac
e2e_check "the client retried its request until the real broker answered" \
    e2e_has_record "$E2E_TMP/clientA.log" "INFO cBroker Retry Setup request"
e2e_check "the stored identifier is the real one" \
    sh -c "[ \"\$(cat '$STATE/tunid')\" != 48879 ]"

# Forged data frames to the established client: an IPv6 header without
# payload (next header 59) from an address no peer owns.
FRAME="000086dd600000000000""3b40$(e2e_ip6_hex 2001:db8:bad::1)$(e2e_ip6_hex "$ADDR_clientA")"
forge_both "$FRAME"
e2e_check "forged data frames did not reach the client's TUN device" \
    sh -c "! grep -qF 'IP 6 Packet 2001:db8:bad::1 ' '$E2E_TMP/clientA.log'"

# The same kind of record does appear for real traffic from the broker.
if e2e_ping "$NS_A" "$BROKER_TUN_ADDR"; then
    e2e_ok "client A pings the broker's tunnel address"
else
    e2e_fail "client A pings the broker's tunnel address"
fi
e2e_check "frames from the broker's endpoint still reach the TUN device" \
    e2e_has_record_prefix "$E2E_TMP/clientA.log" \
    "DEBUG cBroker IP 6 Packet $BROKER_TUN_ADDR ---> $ADDR_clientA containing 58"
e2e_check "the client still runs" e2e_alive clientA
e2e_finish
