# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# A broker with a pool of routed prefixes gives client A one for the network
# behind it: A numbers its LAN interface from it, and a host on that LAN
# reaches the broker and client B through A, and B reaches it back. The
# prefix stays A's from a new source port and across a crash of the broker,
# and is read back from the broker's file; an identifier without its key
# gets none, and peers that do not ask see the offer as written. A pool with
# room for two turns the third client away and says so; senders to an
# address nobody holds learn it at once, at a bounded rate.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_find_python || e2e_skip "python3 is needed to send setup messages"

POOL=2001:db8:100::/48
e2e_topology 2
e2e_foreign_link # NS_F: the host on client A's LAN, side0
e2e_broker_conf broker "quib.broker.delegation=$POOL" quib.broker.delegationlen=64 \
    "quib.broker.delegationfile=$E2E_TMP/delegations"
e2e_conf clientA "quib.broker.address=$BROKER_IP_A" quib.client.routedprefix=1 quib.client.lan=side0
e2e_conf clientB "quib.broker.address=$BROKER_IP_B" quib.route.default=1
ip netns exec "$NS_BROKER" sysctl -qw net.ipv6.conf.all.forwarding=1
ip netns exec "$NS_A" sysctl -qw net.ipv6.conf.all.forwarding=1
STATE=$E2E_TMP/stateA

e2e_broker_up broker "$NS_BROKER"
e2e_check "the broker routes $POOL through its TUN device" sh -c \
    "ip -n '$NS_BROKER' -6 route show '$POOL' | grep -q 'dev $(e2e_tun_name broker) '"
e2e_start_client clientA "$NS_A" "$STATE"
e2e_start_client clientB "$NS_B"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address"
e2e_wait_client clientB "$NS_B" 15 || e2e_fatal "client B got no tunnel address"
e2e_wait_routed clientA "$NS_A" 5 || e2e_fatal "client A gave its LAN no routed prefix"
PREFIX=$PREFIX_clientA BASE=${PREFIX_clientA%/*}
ID=$(cat "$STATE/tunid")
PORT1=$(e2e_udp_port "$NS_A" "${E2E_PID[clientA]}")
e2e_log "client A ($ID) holds $PREFIX, $LAN_clientA on side0"
case $PREFIX in
    2001:db8:100:*::/64 | 2001:db8:100::/64) e2e_ok "A's prefix is a /64 of the pool" ;;
    *) e2e_fail "A's prefix $PREFIX is a /64 of the pool" ;;
esac
e2e_check "A wrote it to its routedprefix file" [ "$(cat "$STATE/routedprefix")" = "$PREFIX" ]
e2e_check "and the file ends in a newline" [ "$(tail -c 1 "$STATE/routedprefix" | od -An -tx1)" = " 0a" ]
e2e_check "the broker's file gives it to A's identifier" \
    grep -qE "^$ID $PREFIX [0-9]+\$" "$E2E_TMP/delegations"
# shows BROKER CLIENT: the broker's status gives the client's tunnel the
# prefix that the client was told.
shows() {
    "$QUIBD" --status "$E2E_TMP/$1.conf" |
        grep -qE " $(e2e_offered_addr "$2") +established .* $(e2e_routed_prefix "$2") "
}
e2e_check "the broker's status shows it on A's tunnel" shows broker clientA

# --- the host behind A, numbered from the prefix, routed through A
ip -n "$NS_F" addr add "${BASE}2/64" dev up0 nodad
ip -n "$NS_F" -6 route add default via "$LAN_clientA"
host_pings() {
    if e2e_ping "$NS_F" "$1"; then e2e_ok "$2"; else e2e_fail "$2"; cat "$E2E_TMP/ping.out"; fi
}
host_pings "$BROKER_TUN_ADDR" "the host behind A pings the broker's tunnel address"
host_pings "$ADDR_clientB" "the host behind A pings client B ($ADDR_clientB)"
e2e_check "client B pings the host behind A (${BASE}2)" e2e_ping "$NS_B" "${BASE}2"

# --- what the broker offers to requests crafted from B's link
# written_offer HEX: the design's offer for the identifier that HEX names.
written_offer() {
    local id
    id=$(e2e_tsp_tag "$1" tunnelid)
    e2e_tsp_hex offer "tunnelid=$id" "ip6prefix=$TUN_PREFIX" "ip6prefixlen=$TUN_PREFIX_LEN" \
        "ip6addr=$(e2e_addr_for_id "$id")" keepalive=30 "${@:2}"
}
OFFER=$(e2e_tsp_ask 20001 tunnelid=0)
e2e_check "a design request gets the written offer, byte for byte" [ "$OFFER" = "$(written_offer "$OFFER")" ]
OFFER=$(e2e_tsp_ask 20002 tunnelid=0 routedprefix=)
e2e_check "one that asks for a prefix without a key too" [ "$OFFER" = "$(written_offer "$OFFER")" ]
# keyed_offer HEX PREFIX: HEX is the written offer, then its key, then PREFIX
# (none: no routedprefix tag).
keyed_offer() {
    local key
    key=$(e2e_tsp_tag "$1" tunnelkey)
    [ -n "$key" ] && [ "$1" = "$(written_offer "$1" "tunnelkey=$key" ${2:+"routedprefix=$2"})" ]
}
OFFER=$(e2e_tsp_ask 20003 tunnelid=0 tunnelkey= routedprefix=)
OTHER=$(e2e_tsp_tag "$OFFER" routedprefix)
e2e_check "a keyed request is offered a /64 of the pool after its key ($OTHER)" keyed_offer "$OFFER" "$OTHER"
not_as() { [[ $1 == 2001:db8:100:*/64 && $1 != "$PREFIX" ]]; }
e2e_check "another one than A's" not_as "$OTHER"
OFFER=$(e2e_tsp_ask 20004 "tunnelid=$ID" tunnelkey= routedprefix=)
e2e_check "A's identifier without A's key is offered no prefix" keyed_offer "$OFFER" ""
e2e_check "but another identifier" [ "$(e2e_tsp_tag "$OFFER" tunnelid)" != "$ID" ]
host_pings "$ADDR_clientB" "and A's host still reaches B through A's prefix"

# --- nobody holds it: the sender learns at once, at a bounded rate
NOBODY=2001:db8:100:ffff::9
[ "$BASE" = 2001:db8:100:ffff:: ] && NOBODY=2001:db8:100:fffe::9
for to in "$NOBODY" 2001:db8:1::1:0:0:99; do
    ip netns exec "$NS_B" ping -n -c 1 -W 1 "$to" >"$E2E_TMP/ping.out" 2>&1
    e2e_check "B's ping to $to, held by nobody, is told within 1 s" \
        grep -q "Destination unreachable: Address unreachable" "$E2E_TMP/ping.out"
done
sleep 1 # the bucket fills up again
# ping slows down when nothing answers: 100 echo requests from a
# raw socket in half a second, then the errors that came back within 1 s.
ERRORS=$(ip netns exec "$NS_B" timeout 10 "$E2E_PYTHON" -c '
import socket, sys, time
s = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
for seq in range(100):
    s.sendto(bytes([128, 0, 0, 0, 0, 1, 0, seq]) + bytes(56), (sys.argv[1], 0))
    time.sleep(0.004)
errors, end = 0, time.time() + 1
while time.time() < end:
    s.settimeout(max(end - time.time(), 0.01))
    try:
        errors += s.recv(2048)[:2] == bytes([1, 3])
    except OSError:
        break
print(errors)' "$NOBODY")
e2e_check "100 pings in half a second draw at least 10 and at most 20 errors ($ERRORS)" \
    [ "${ERRORS:-0}" -ge 10 -a "${ERRORS:-99}" -le 20 ]
SUPPRESSED=$("$QUIBD" --metrics "$E2E_TMP/broker.conf" |
    sed -n 's/^quibd_unreachable_errors_total{result="suppressed"} //p')
e2e_check "the broker's metrics count at least 80 held back ($SUPPRESSED)" [ "${SUPPRESSED:-0}" -ge 80 ]
e2e_check "and its log reports them" e2e_wait_until 11 e2e_has_record_re \
    "$E2E_TMP/broker.log" "^INFO .*Unreachable errors rate-limited: [1-9][0-9]* not sent since the last report$"

# --- A from a new source port, then after a crash of the broker
restart_a() {
    e2e_stop clientA
    e2e_start_client clientA "$NS_A" "$STATE"
    e2e_wait_client clientA "$NS_A" 15 && e2e_wait_routed clientA "$NS_A" 5
}
restart_a || e2e_fail "restarted client A got its routed prefix"
PORT2=$(e2e_udp_port "$NS_A" "${E2E_PID[clientA]}")
e2e_check "from port $PORT2 (was $PORT1) A got $PREFIX again" \
    [ "$PORT2" != "$PORT1" -a "$PREFIX_clientA" = "$PREFIX" ]
e2e_kill_hard broker
e2e_check "the broker's file held A's prefix when it was killed" \
    grep -qE "^$ID $PREFIX [0-9]+\$" "$E2E_TMP/delegations"
e2e_broker_up broker "$NS_BROKER"
restart_a || e2e_fail "client A got its routed prefix from the restarted broker"
e2e_check "after the crash A got $PREFIX again" [ "$PREFIX_clientA" = "$PREFIX" ]
host_pings "$BROKER_TUN_ADDR" "the restarted broker routes the pool to A's host again"
# The broker holds to its file: edited, it moves A's delegation, and A,
# setting up again by itself, renumbers its LAN.
e2e_stop broker
MOVED=2001:db8:100:beef::/64
[ "$PREFIX" = "$MOVED" ] && MOVED=2001:db8:100:bee0::/64
sed -i "s|^$ID $PREFIX |$ID $MOVED |" "$E2E_TMP/delegations"
e2e_broker_up broker "$NS_BROKER"
e2e_check "a broker started on an edited file gives the running A $MOVED" e2e_wait_until 30 \
    e2e_has_record_re "$E2E_TMP/clientA.log" "^INFO .*Routed prefix '$MOVED'\$"
e2e_check "A's file follows" [ "$(cat "$STATE/routedprefix")" = "$MOVED" ]
e2e_check "A's LAN interface carries ${MOVED%/*}1 instead of ${BASE}1" e2e_wait_until 5 sh -c \
    "ip -n '$NS_A' -6 addr show dev side0 | grep -qF 'inet6 ${MOVED%/*}1/' &&
    ! ip -n '$NS_A' -6 addr show dev side0 | grep -qF 'inet6 ${BASE}1/'"

# --- a pool with room for two delegations and three clients
for daemon in clientA clientB broker; do e2e_stop "$daemon"; done
e2e_broker_conf small quib.broker.delegation=2001:db8:200::/63 "quib.broker.delegationfile=$E2E_TMP/small"
e2e_conf clientA2 "quib.broker.address=$BROKER_IP_A" quib.client.routedprefix=1
e2e_conf clientB2 "quib.broker.address=$BROKER_IP_B" quib.client.routedprefix=1
e2e_broker_up small "$NS_BROKER"
# Both at once: clients setting up together are told different prefixes.
e2e_start_client clientA2 "$NS_A"
e2e_start_client clientB2 "$NS_B"
for name in clientA2 clientB2; do
    e2e_wait_until 15 e2e_has_record_re "$E2E_TMP/$name.log" "^INFO .*Routed prefix '2001:db8:200:(1:)?:/64'" ||
        e2e_fail "$name got a /64 of the small pool"
done
e2e_check "the two clients were told two delegations" \
    [ "$(e2e_routed_prefix clientA2)" != "$(e2e_routed_prefix clientB2)" ]
both_shown() { shows small clientA2 && shows small clientB2; }
e2e_check "and the broker holds each for the client told it" both_shown
e2e_check "a third client is offered a key and no prefix" \
    keyed_offer "$(e2e_tsp_ask 20005 tunnelid=0 tunnelkey= routedprefix=)" ""
e2e_tsp_ask 20006 tunnelid=0 tunnelkey= routedprefix= >/dev/null
FULL="^INFO .*Every routed prefix is held by a live tunnel: [1-9][0-9]* requests got none since the last report$"
e2e_check "the broker says the pool is full" e2e_wait_until 11 e2e_has_record_re "$E2E_TMP/small.log" "$FULL"
e2e_check "once for both requests" [ "$(grep -cE "$FULL" "$E2E_TMP/small.log")" -eq 1 ]
e2e_check "the broker still runs" e2e_alive small
e2e_finish
