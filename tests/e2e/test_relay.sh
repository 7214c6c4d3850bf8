# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# Two clients set up their tunnels with one broker; each reaches the
# broker's tunnel address, and client B reaches client A through the broker,
# which hands the packets straight from one client to the other. The broker
# delivers what its kernel routes to the tunnels to the one client that holds
# the destination (multicast to both, nothing for an address nobody holds) and
# takes into its stack only IPv6 packets that carry the sending client's own
# address; a second run shows broadcast delivery and the source check off.
# Client A names the broker by a second address of its link, so the broker
# must answer it from that address. The broker's and the clients' status
# views count what was sent, and neither they nor a peer that floods the
# status socket hold up the relay.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

e2e_topology 2
BROKER_IP_A2=192.0.2.3
ip -n "$NS_BROKER" addr add "$BROKER_IP_A2/24" dev to-a || e2e_fatal "cannot add $BROKER_IP_A2"
METRICS_AT=127.0.0.1:9653
e2e_broker_conf broker "quib.metrics.listen=$METRICS_AT"
e2e_conf clientA "quib.broker.address=$BROKER_IP_A2"
e2e_conf clientB "quib.broker.address=$BROKER_IP_B"

# A broker host that forwards IPv6, as the README tells operators to set up.
ip netns exec "$NS_BROKER" sysctl -qw net.ipv6.conf.all.forwarding=1
e2e_start_broker broker "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "broker did not start its UDP worker"
e2e_check "broker announces its prefix on standard output" \
    grep -qxF "Will use prefix '$TUN_PREFIX'/${TUN_PREFIX_LEN}for tun addesses" "$E2E_TMP/broker.out"
e2e_check "broker's TUN device carries $BROKER_TUN_ADDR/$TUN_PREFIX_LEN" \
    e2e_wait_until 5 e2e_ns_has_addr "$NS_BROKER" "$BROKER_TUN_ADDR"

e2e_start_client clientA "$NS_A" "$E2E_TMP/stateA"
e2e_start_client clientB "$NS_B" "$E2E_TMP/stateB"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address"
e2e_wait_client clientB "$NS_B" 15 || e2e_fatal "client B got no tunnel address"
e2e_log "client A has $ADDR_clientA, client B has $ADDR_clientB"

# --- scenario: a client sets up its tunnel
e2e_check "client A logs its connection to the broker's second address" \
    e2e_has_record "$E2E_TMP/clientA.log" "INFO cBroker Connecting to $BROKER_IP_A2($BROKER_IP_A2):3653"
e2e_check "broker logs the setup request of client A" \
    e2e_has_record_prefix "$E2E_TMP/broker.log" "INFO cBroker Config msg from $CLIENT_IP_A:"
e2e_check "broker logs the setup request of client B" \
    e2e_has_record_prefix "$E2E_TMP/broker.log" "INFO cBroker Config msg from $CLIENT_IP_B:"
e2e_check "broker generated the address client A was offered" \
    e2e_has_record "$E2E_TMP/broker.log" "INFO cTunnel Generated: '$ADDR_clientA'"
e2e_check "broker generated the address client B was offered" \
    e2e_has_record "$E2E_TMP/broker.log" "INFO cTunnel Generated: '$ADDR_clientB'"
e2e_check "client A was offered an address in the prefix with its length" \
    e2e_has_record "$E2E_TMP/clientA.log" "INFO cTunnel Offered Tunnel Addr '$ADDR_clientA/$TUN_PREFIX_LEN'"
case $ADDR_clientA in
    2001:db8:1::*) e2e_ok "client A's address lies in $TUN_PREFIX/$TUN_PREFIX_LEN" ;;
    *) e2e_fail "client A's address $ADDR_clientA lies outside $TUN_PREFIX/$TUN_PREFIX_LEN" ;;
esac
e2e_check "the two clients have different addresses" [ "$ADDR_clientA" != "$ADDR_clientB" ]

if e2e_ping "$NS_A" "$BROKER_TUN_ADDR"; then
    e2e_ok "client A pings the broker's tunnel address $BROKER_TUN_ADDR"
else
    e2e_fail "client A pings the broker's tunnel address $BROKER_TUN_ADDR"
    cat "$E2E_TMP/ping.out"
fi
e2e_check "broker wrote client A's packets to its TUN device" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cBroker Forward to TUN"
e2e_check "client A wrote the broker's replies to its TUN device" \
    e2e_has_record_prefix "$E2E_TMP/clientA.log" \
    "DEBUG cBroker IP 6 Packet $BROKER_TUN_ADDR ---> $ADDR_clientA containing 58"
if e2e_ping "$NS_B" "$BROKER_TUN_ADDR"; then
    e2e_ok "client B pings the broker's tunnel address $BROKER_TUN_ADDR"
else
    e2e_fail "client B pings the broker's tunnel address $BROKER_TUN_ADDR"
    cat "$E2E_TMP/ping.out"
fi

# --- scenario: two clients reach each other through the broker
if e2e_ping "$NS_B" "$ADDR_clientA"; then
    e2e_ok "client B pings client A ($ADDR_clientA) through the broker"
else
    e2e_fail "client B pings client A ($ADDR_clientA) through the broker"
    cat "$E2E_TMP/ping.out"
fi
no_duplicates() { ! grep -q 'DUP!' "$E2E_TMP/ping.out"; }
e2e_check "each echo arrived once although the broker forwards IPv6" no_duplicates
e2e_check "broker forwarded the packets locally between the clients" \
    e2e_has_record_re "$E2E_TMP/broker.log" '^DEBUG cTunnel TX [1-9][0-9]* bytes locally forwarded$'
e2e_check "client A received B's echo requests" \
    e2e_has_record_prefix "$E2E_TMP/clientA.log" \
    "DEBUG cBroker IP 6 Packet $ADDR_clientB ---> $ADDR_clientA containing 58"

# --- scenario: what the broker delivers and what it takes in, counted on
# the TUN devices (a TUN device's RX counts the frames its daemon writes)
PINGS=6
FEW=$((PINGS / 2))  # less than this is noise; a leak moves a counter by PINGS
NOBODY=2001:db8:1::1:0:0:99  # client addresses carry their identifier in the last 32 bits
tuns() {
    TUN_BROKER=$(e2e_tun_name "$1") TUN_A=$(e2e_tun_name "$2") TUN_B=$(e2e_tun_name "$3")
    PORT_A=$(e2e_udp_port "$NS_A" "${E2E_PID[$2]}")
}
# rx_during COMMAND...: RX_A, RX_B, RX_BROKER are the packets the TUN devices
# took in while COMMAND ran and 0.3 s after.
rx_during() {
    local a b k
    a=$(e2e_rx_packets "$NS_A" "$TUN_A") b=$(e2e_rx_packets "$NS_B" "$TUN_B")
    k=$(e2e_rx_packets "$NS_BROKER" "$TUN_BROKER")
    "$@"
    sleep 0.3
    RX_A=$(($(e2e_rx_packets "$NS_A" "$TUN_A") - a))
    RX_B=$(($(e2e_rx_packets "$NS_B" "$TUN_B") - b))
    RX_BROKER=$(($(e2e_rx_packets "$NS_BROKER" "$TUN_BROKER") - k))
}
# spoof_ping ADDR: client A sends the broker echo requests from B's address ADDR.
spoof_ping() {
    ip -n "$NS_A" addr add "$1/128" dev "$TUN_A" nodad
    rx_during e2e_send_pings "$NS_A" "$PINGS" -6 -s 100 -I "$1" "$BROKER_TUN_ADDR"
}
tuns broker clientA clientB

rx_during e2e_send_pings "$NS_BROKER" "$PINGS" -6 "$ADDR_clientA"
e2e_check "the broker's $PINGS echo requests to A reach A (A took $RX_A)" [ "$RX_A" -ge "$PINGS" ]
e2e_check "none of them reaches B (B took $RX_B)" [ "$RX_B" -lt "$FEW" ]
# A 56-byte echo is a 104-byte packet, a 108-byte frame, in either offload
# setting (the virtio header is never counted).
e2e_check "the broker logs each echo request as a 108-byte frame read from TUN" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cBroker Received 108 bytes on TUN"
rx_during e2e_send_pings "$NS_BROKER" 2 -6 "ff02::1%$TUN_BROKER"
e2e_check "a multicast ping from the broker reaches both clients (A took $RX_A, B took $RX_B)" \
    [ "$((RX_A < RX_B ? RX_A : RX_B))" -ge 2 ]
rx_during e2e_send_pings "$NS_BROKER" "$PINGS" -6 "$NOBODY"
e2e_check "a ping to $NOBODY, which no client holds, reaches nobody (A took $RX_A, B took $RX_B)" \
    [ "$((RX_A > RX_B ? RX_A : RX_B))" -lt "$FEW" ]
spoof_ping "$ADDR_clientB"
e2e_check "A's echo requests from B's address stay out of the broker's stack (it took $RX_BROKER)" \
    [ "$RX_BROKER" -lt "$FEW" ]
e2e_check "broker logs them as coming from a foreign source" e2e_has_record "$E2E_TMP/broker.log" \
    "DEBUG cBroker Dropped 152 bytes from $CLIENT_IP_A:$PORT_A: source is not the tunnel's address"
ip -n "$NS_A" addr add 198.51.100.77/32 dev "$TUN_A"
ip -n "$NS_A" route add 198.51.100.99/32 dev "$TUN_A"
rx_during e2e_send_pings "$NS_A" "$PINGS" -4 -s 100 198.51.100.99
e2e_check "A's IPv4 echo requests stay out of the broker's stack (it took $RX_BROKER)" \
    [ "$RX_BROKER" -lt "$FEW" ]
e2e_check "broker logs them as not IPv6" e2e_has_record "$E2E_TMP/broker.log" \
    "DEBUG cBroker Dropped 132 bytes from $CLIENT_IP_A:$PORT_A: not an IPv6 packet"

# --- scenario: the operator's view
e2e_find_python || e2e_fatal "python3 is needed to read the JSON status"
# status_of NAME [--json|--metrics]: the daemon's answer through its socket.
status_of() {
    local flag=--status extra=()
    case ${2:-} in --metrics) flag=--metrics ;; --json) extra=(--json) ;; esac
    "$QUIBD" "$flag" "${extra[@]}" "$E2E_TMP/$1.conf"
}
# row NAME ENDPOINT-OR-"": FIELD values of the broker's row for the tunnel
# whose address is ADDR, or of the client's own tunnel.
row() {
    status_of "$1" --json | "$E2E_PYTHON" -c '
import json, sys
doc = json.load(sys.stdin)
rows = doc["tunnels"] if doc["mode"] == "broker" else [doc["tunnel"]]
row = [r for r in rows if r["address"] == sys.argv[1]][0]
print(" ".join(str(row[k]) for k in ("packets_in", "packets_out", "state")))' "$2"
}
status_of broker >"$E2E_TMP/status.txt" || e2e_fail "quibd --status answers for the broker"
e2e_check "the broker's status lists client A's tunnel" grep -q " $ADDR_clientA .*established" "$E2E_TMP/status.txt"
e2e_check "the broker's status lists client B's tunnel" grep -q " $ADDR_clientB .*established" "$E2E_TMP/status.txt"
read -r A_IN A_OUT _ <<<"$(row broker "$ADDR_clientA")"
read -r B_IN B_OUT _ <<<"$(row broker "$ADDR_clientB")"
read -r C_IN C_OUT C_STATE <<<"$(row clientA "$ADDR_clientA")"
e2e_send_pings "$NS_BROKER" "$PINGS" -6 "$ADDR_clientA"
read -r A_IN2 A_OUT2 _ <<<"$(row broker "$ADDR_clientA")"
read -r B_IN2 B_OUT2 _ <<<"$(row broker "$ADDR_clientB")"
read -r C_IN2 C_OUT2 _ <<<"$(row clientA "$ADDR_clientA")"
# within COUNT EXPECTED...: each COUNT is its EXPECTED, or one more (a
# keepalive may come in between).
within() {
    while [ $# -ge 2 ]; do
        [ "$1" -ge "$2" ] && [ "$1" -le $(($2 + 1)) ] || return 1
        shift 2
    done
}
e2e_check "the broker counted $PINGS packets to A ($((A_OUT2 - A_OUT))) and $PINGS from it ($((A_IN2 - A_IN)))" \
    within $((A_OUT2 - A_OUT)) "$PINGS" $((A_IN2 - A_IN)) "$PINGS"
e2e_check "and nothing for B ($((B_OUT2 - B_OUT)) out, $((B_IN2 - B_IN)) in)" \
    within $((B_OUT2 - B_OUT + B_IN2 - B_IN)) 0
e2e_check "client A counted them too ($((C_IN2 - C_IN)) in, $((C_OUT2 - C_OUT)) out; $C_STATE)" \
    within $((C_IN2 - C_IN)) "$PINGS" $((C_OUT2 - C_OUT)) "$PINGS"
for daemon in broker clientA; do
    status_of "$daemon" --metrics >"$E2E_TMP/metrics.txt"
    e2e_check "the metrics of $daemon pass promtool" promtool check metrics <"$E2E_TMP/metrics.txt"
done
e2e_check "the metrics endpoint answers on $METRICS_AT" ip netns exec "$NS_BROKER" "$E2E_PYTHON" -c '
import sys, urllib.request
body = urllib.request.urlopen("http://%s/metrics" % sys.argv[1], timeout=5).read().decode()
sys.exit(0 if "quibd_tunnels{state=\"established\"} 2" in body else 1)' "$METRICS_AT"
# Idle peers take every connection the socket allows while another sends
# megabytes; client B's pings through the tunnel must not notice.
"$E2E_PYTHON" - "$E2E_TMP/broker.sock" >"$E2E_TMP/hog.out" 2>&1 <<'PY' &
import socket, sys, time
idle = []
for _ in range(7):
    s = socket.socket(socket.AF_UNIX)
    s.connect(sys.argv[1])
    idle.append(s)
sent, end = 0, time.time() + 4
while time.time() < end:
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(0.5)
    try:
        s.connect(sys.argv[1])
        while time.time() < end:
            sent += s.send(b"x" * 65536)
    except OSError:
        pass
    s.close()
print("sent", sent)
PY
E2E_PID[hog]=$!
sleep 0.5
e2e_send_pings "$NS_B" 15 -6 "$BROKER_TUN_ADDR"
wait "${E2E_PID[hog]}"
unset "E2E_PID[hog]"
RTT_MAX=$(awk -F/ '/^rtt/ { print $6 + 0 }' "$E2E_TMP/ping.out")
e2e_check "client B's pings all came back while the socket was flooded (max ${RTT_MAX:-?} ms)" \
    grep -q " 15 received, 0% packet loss" "$E2E_TMP/ping.out"
e2e_check "and none took longer than 50 ms" awk -v m="${RTT_MAX:-999}" 'BEGIN { exit !(m < 50) }'
e2e_check "the status socket still answers after the flood" status_of broker

# --- scenario: bulk TCP through the tunnel arrives intact
# tcp_intact NS-FROM SOURCE NS-TO ADDR: 4 MiB from SOURCE in NS-FROM (client
# A's TUN device holds B's address too by now) to ADDR:5001 in NS-TO,
# compared by SHA-256.
head -c $((4 * 1024 * 1024)) /dev/urandom >"$E2E_TMP/bulk"
tcp_intact() {
    local want got
    want=$(sha256sum <"$E2E_TMP/bulk" | cut -d' ' -f1)
    ip netns exec "$3" timeout 30 "$E2E_PYTHON" -c '
import hashlib, socket, sys
s = socket.socket(socket.AF_INET6)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 5001)); s.listen(1)
c, _ = s.accept(); h = hashlib.sha256()
while True:
    b = c.recv(65536)
    if not b: break
    h.update(b)
print(h.hexdigest())' "$4" >"$E2E_TMP/bulk.sha" &
    local server=$!
    ip netns exec "$1" timeout 30 "$E2E_PYTHON" -c '
import socket, sys, time
for attempt in range(50):  # until the server listens
    try:
        s = socket.create_connection((sys.argv[1], 5001), timeout=20, source_address=(sys.argv[2], 0))
        break
    except ConnectionRefusedError:
        time.sleep(0.1)
s.sendall(open(sys.argv[3], "rb").read()); s.close()' "$4" "$2" "$E2E_TMP/bulk"
    wait "$server"
    got=$(cat "$E2E_TMP/bulk.sha")
    [ "$got" = "$want" ]
}
e2e_check "4 MiB of TCP from client A reach the broker intact (offload $(e2e_offload broker))" \
    tcp_intact "$NS_A" "$ADDR_clientA" "$NS_BROKER" "$BROKER_TUN_ADDR"
e2e_check "and 4 MiB from the broker reach client A intact" \
    tcp_intact "$NS_BROKER" "$BROKER_TUN_ADDR" "$NS_A" "$ADDR_clientA"

e2e_check "broker still runs" e2e_alive broker
e2e_check "client A still runs" e2e_alive clientA
e2e_check "client B still runs" e2e_alive clientB

# --- second run: broadcast delivery, no source check, no offload
for daemon in clientA clientB broker; do e2e_stop "$daemon"; done
e2e_broker_conf broker2 quib.broker.delivery=broadcast quib.broker.sourcecheck=0 quib.tun.offload=off
e2e_conf clientA2 "quib.broker.address=$BROKER_IP_A" quib.tun.offload=off
e2e_conf clientB2 "quib.broker.address=$BROKER_IP_B" quib.tun.offload=off
e2e_start_broker broker2 "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/broker2.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "the second broker did not start its UDP worker"
e2e_start_client clientA2 "$NS_A" "$E2E_TMP/stateA"
e2e_start_client clientB2 "$NS_B" "$E2E_TMP/stateB"
e2e_wait_client clientA2 "$NS_A" 15 || e2e_fatal "client A got no tunnel address from broker2"
e2e_wait_client clientB2 "$NS_B" 15 || e2e_fatal "client B got no tunnel address from broker2"
tuns broker2 clientA2 clientB2
rx_during e2e_send_pings "$NS_BROKER" "$PINGS" -6 "$ADDR_clientA2"
e2e_check "with broadcast delivery the broker's $PINGS pings to A reach B too (B took $RX_B)" \
    [ "$RX_B" -ge "$PINGS" ]
spoof_ping "$ADDR_clientB2"
e2e_check "with sourcecheck = 0 the spoofed echo requests enter the broker's stack (it took $RX_BROKER)" \
    [ "$RX_BROKER" -ge "$PINGS" ]
e2e_check "4 MiB of TCP from client A reach the broker intact (offload $(e2e_offload broker2))" \
    tcp_intact "$NS_A" "$ADDR_clientA2" "$NS_BROKER" "$BROKER_TUN_ADDR"
e2e_check "and 4 MiB from the broker reach client A intact" \
    tcp_intact "$NS_BROKER" "$BROKER_TUN_ADDR" "$NS_A" "$ADDR_clientA2"
e2e_check "the second broker still runs" e2e_alive broker2
e2e_finish
