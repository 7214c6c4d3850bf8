# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# A client keeps the identifier the broker gave it as bare digits in its
# state file; when it comes back from a new source port it presents that
# identifier, gets the same address again, and the broker drops the tunnel
# of the old endpoint. The client also installs the IPv6 default route
# through its TUN device when configured to. Only the holder of an
# identifier's key takes a protected address; a client without keys sees the
# written exchange; a client whose accept is lost sets up again by itself.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_find_python || e2e_skip "python3 is needed to send setup messages"
command -v nft >/dev/null || e2e_skip "nft is needed to drop an accept"

e2e_topology 2
e2e_broker_conf broker
e2e_conf clientA "quib.broker.address=$BROKER_IP_A" "quib.route.default=1"
cp "$E2E_TMP/clientA.conf" "$E2E_TMP/clientA2.conf"
sed -i "s|$E2E_TMP/clientA.log|$E2E_TMP/clientA2.log|" "$E2E_TMP/clientA2.conf"
STATE="$E2E_TMP/stateA"
TUNID="$STATE/tunid"

e2e_start_broker broker "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "broker did not start its UDP worker"
e2e_check "the broker created its key file with mode 600 and 32 bytes" \
    [ "$(stat -c %a:%s "$E2E_TMP/broker.key" 2>/dev/null)" = 600:32 ]

other_than() {
    [ -n "$1" ] && [ "$1" != "$2" ]
}

# --- first run: no identifier yet
e2e_start_client clientA "$NS_A" "$STATE"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address"
FIRST_ADDR=$ADDR_clientA
PORT1=$(e2e_udp_port "$NS_A" "${E2E_PID[clientA]}")
e2e_log "first run: address $FIRST_ADDR from port $PORT1"
e2e_check "the first request carried identifier 0" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cTSPMsg Got Tunnel Id0"
e2e_check "broker logged the request from port $PORT1" \
    e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Config msg from $CLIENT_IP_A:$PORT1"

e2e_wait_until 5 test -s "$TUNID" || e2e_fatal "client did not write $TUNID"
IFS= read -r -d '' ID_TEXT <"$TUNID"
if [[ $ID_TEXT =~ ^[1-9][0-9]*$ ]] && [ "$(stat -c %s "$TUNID")" -eq "${#ID_TEXT}" ]; then
    e2e_ok "tunid holds bare digits ($ID_TEXT), no newline"
else
    e2e_fail "tunid holds bare digits, no newline; found: $(od -An -c "$TUNID")"
fi
ID_HEX=$(printf '%x' "$ID_TEXT" 2>/dev/null)
e2e_check "tunid holds the identifier the broker assigned (0x$ID_HEX)" \
    e2e_has_record "$E2E_TMP/broker.log" "INFO cTunnel TunnelId: 0x$ID_HEX"
e2e_check "the address ends in the identifier" \
    [ "$FIRST_ADDR" = "$(e2e_addr_for_id "$ID_TEXT")" ]
TUNKEY="$STATE/tunkey"
e2e_wait_until 5 test -s "$TUNKEY" || e2e_fatal "client did not write $TUNKEY"
KEY=$(cat "$TUNKEY")
e2e_check "tunkey holds 32 hex digits ($KEY), mode 600" sh -c \
    '[ "$(stat -c %a:%s "$1")" = 600:32 ] && grep -qxE "[0-9a-f]{32}" "$1"' tunkey "$TUNKEY"

# --- default route through the TUN device
TUN_A=$(e2e_tun_name clientA)
e2e_check "client logs the default route on its device" \
    e2e_has_record "$E2E_TMP/clientA.log" "INFO cBroker Setting default route on dev $TUN_A"
ROUTE=$(ip -n "$NS_A" -6 route show default)
e2e_log "client A's default route: $ROUTE"
case $ROUTE in
    *"default dev $TUN_A "*"metric 1024"*) e2e_ok "::/0 via $TUN_A with metric 1024 is installed" ;;
    *) e2e_fail "::/0 via $TUN_A with metric 1024 is installed" ;;
esac
if e2e_ping "$NS_A" "$BROKER_TUN_ADDR"; then
    e2e_ok "client A pings the broker's tunnel address"
else
    e2e_fail "client A pings the broker's tunnel address"
fi

# --- a stranger presents client A's identifier without its key
STRANGER_ID=$(e2e_tsp_tag "$(e2e_tsp_ask 20001 "tunnelid=$ID_TEXT" tunnelkey=)" tunnelid)
e2e_check "the stranger got another identifier ($STRANGER_ID)" other_than "$STRANGER_ID" "$ID_TEXT"
e2e_check "broker logged that the identifier needs its key" e2e_has_record "$E2E_TMP/broker.log" \
    "INFO cTunnel Identifier 0x$ID_HEX is taken only with its tunnel key, handled as 0"
e2e_check "client A still pings through its tunnel" e2e_ping "$NS_A" "$BROKER_TUN_ADDR"

# --- second run from a new source port, presenting the stored key
e2e_stop clientA
e2e_start_client clientA2 "$NS_A" "$STATE"
e2e_wait_client clientA2 "$NS_A" 15 || e2e_fatal "restarted client A got no tunnel address"
PORT2=$(e2e_udp_port "$NS_A" "${E2E_PID[clientA2]}")
e2e_log "second run: address $ADDR_clientA2 from port $PORT2"
[ "$PORT1" != "$PORT2" ] || e2e_fatal "the kernel gave the same source port twice; cannot test"
e2e_check "the second request presented identifier $ID_TEXT" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cTSPMsg Got Tunnel Id$ID_TEXT"
e2e_check "broker logged the request from the new port $PORT2" \
    e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Config msg from $CLIENT_IP_A:$PORT2"
e2e_check "the restarted client got the same address" [ "$ADDR_clientA2" = "$FIRST_ADDR" ]
e2e_check "the second request presented a key, masked in the log" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cTSPMsg Got Tunnel Key <32 hex digits>"
key_unlogged() { ! grep -qF "$KEY" "$E2E_TMP"/*.log; }
e2e_check "no log holds the key itself" key_unlogged
e2e_check "broker removed the tunnel of the old endpoint" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cTunnel Removing stale tunnel 0x$ID_HEX"
e2e_check "exactly one stale tunnel was removed" \
    [ "$(grep -cF 'Removing stale tunnel' "$E2E_TMP/broker.log")" -eq 1 ]
IFS= read -r -d '' ID_TEXT2 <"$TUNID"
e2e_check "tunid still holds $ID_TEXT" [ "$ID_TEXT2" = "$ID_TEXT" ]
TUN_A2=$(e2e_tun_name clientA2)
e2e_check "the new TUN device carries the default route again" \
    e2e_wait_until 5 sh -c "ip -n '$NS_A' -6 route show default | grep -q 'dev $TUN_A2 '"

# With the old tunnel gone, the broker sends each echo reply (a 108-byte
# frame: header, IPv6 header, 64 bytes of ICMPv6) to the one live tunnel.
count_replies() {
    grep -cxF 'DEBUG cTunnel TX 108 bytes over tunnel' "$E2E_TMP/broker.log"
}
BEFORE=$(count_replies)
if e2e_ping "$NS_A" "$BROKER_TUN_ADDR"; then
    e2e_ok "the restarted client pings the broker's tunnel address"
else
    e2e_fail "the restarted client pings the broker's tunnel address"
fi
SENDS=$(($(count_replies) - BEFORE))
e2e_check "broker sent the 3 replies to the live tunnel only ($SENDS sends)" [ "$SENDS" -eq 3 ]

# --- a client without keys gets the offer as written and may move endpoints
OFFER=$(THEN=$(e2e_tsp_hex accept) e2e_tsp_ask 20002 tunnelid=0)
OLD_ID=$(e2e_tsp_tag "$OFFER" tunnelid)
WRITTEN=$(e2e_tsp_hex offer "tunnelid=$OLD_ID" "ip6prefix=$TUN_PREFIX" \
    "ip6prefixlen=$TUN_PREFIX_LEN" "ip6addr=$(e2e_addr_for_id "$OLD_ID")" keepalive=30)
e2e_check "a request without tunnelkey gets the written offer, byte for byte" \
    [ "$OFFER" = "$WRITTEN" ]
e2e_check "from another endpoint that client takes its identifier back" \
    [ "$(e2e_tsp_ask 20003 "tunnelid=$OLD_ID")" = "$WRITTEN" ]
e2e_check "broker removed that client's old tunnel" e2e_has_record "$E2E_TMP/broker.log" \
    "DEBUG cTunnel Removing stale tunnel 0x$(printf %x "$OLD_ID")"

# --- client B's first accept is lost: the client sets up again by itself
accept_dropped() {
    ip netns exec "$NS_B" nft list chain ip lossy out | grep -q 'counter packets [1-9]'
}
ip netns exec "$NS_B" nft -f - <<'EOF' || e2e_fatal "cannot drop client B's accepts"
table ip lossy {
    chain out {
        type filter hook output priority 0;
        udp dport 3653 @th,64,48 0x616363657074 counter drop
    }
}
EOF
e2e_conf clientB "quib.broker.address=$BROKER_IP_B"
e2e_start_client clientB "$NS_B"
e2e_wait_until 10 accept_dropped || e2e_fatal "client B sent no accept"
LOST_AT=$(e2e_now_ms)
ip netns exec "$NS_B" nft delete table ip lossy
e2e_check "client B noticed the lost accept" e2e_wait_until 15 e2e_has_record \
    "$E2E_TMP/clientB.log" "INFO cBroker No word from the broker since the accept, setting up again"
e2e_check "client B pings through its tunnel again" e2e_ping "$NS_B" "$BROKER_TUN_ADDR"
SECS=$((($(e2e_now_ms) - LOST_AT) / 1000))
e2e_check "client B carried traffic again within 15 s of the lost accept ($SECS s)" [ "$SECS" -lt 15 ]

# --- a broker that requires keys takes no identifier without its key
e2e_stop clientB
e2e_stop clientA2
e2e_stop broker
e2e_broker_conf strict quib.broker.requirekey=1
e2e_start_broker strict "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/strict.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "the broker that requires keys did not start"
STRICT_ID=$(e2e_tsp_tag "$(e2e_tsp_ask 20004 "tunnelid=$OLD_ID")" tunnelid)
e2e_check "without its key identifier $OLD_ID was handled as 0 (got $STRICT_ID)" \
    other_than "$STRICT_ID" "$OLD_ID"
e2e_finish
