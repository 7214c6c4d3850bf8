# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# Two clients set up their tunnels with one broker; each reaches the
# broker's tunnel address, and client B reaches client A through the broker,
# which hands the packets straight from one client to the other.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

e2e_topology 2
e2e_broker_conf broker
e2e_conf clientA "quib.broker.address=$BROKER_IP_A"
e2e_conf clientB "quib.broker.address=$BROKER_IP_B"

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
e2e_check "client A logs its connection" \
    e2e_has_record "$E2E_TMP/clientA.log" "INFO cBroker Connecting to $BROKER_IP_A($BROKER_IP_A):3653"
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
e2e_check "broker forwarded the packets locally between the clients" \
    e2e_has_record_re "$E2E_TMP/broker.log" '^DEBUG cTunnel TX [1-9][0-9]* bytes locally forwarded$'
e2e_check "client A received B's echo requests" \
    e2e_has_record_prefix "$E2E_TMP/clientA.log" \
    "DEBUG cBroker IP 6 Packet $ADDR_clientB ---> $ADDR_clientA containing 58"

e2e_check "broker still runs" e2e_alive broker
e2e_check "client A still runs" e2e_alive clientA
e2e_check "client B still runs" e2e_alive clientB
e2e_finish
