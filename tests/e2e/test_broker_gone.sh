# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# A client keeps its tunnel alive with keepalives while the broker answers
# them, takes it up again at the same address when the broker is killed and
# restarted, and gives up with status 0 once the broker is gone for good.
# Client A pings all along, client B stays idle. The broker's keepalive
# floor (25 s) is above what the clients ask for (5 s), so they must use the
# offered value: with their own 5 s they would give up at the first quiet
# 10-second time-out even though the broker still answers.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

e2e_topology 2
e2e_broker_conf broker "quib.client.keepalive=25"
e2e_conf clientA "quib.broker.address=$BROKER_IP_A" "quib.client.keepalive=5"
e2e_conf clientB "quib.broker.address=$BROKER_IP_B" "quib.client.keepalive=5"

start_broker() {
    e2e_start_broker broker "$NS_BROKER"
    e2e_wait_until 10 e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Starting UDP thread..." ||
        e2e_fatal "broker did not start its UDP worker"
}
start_broker
e2e_start_client clientA "$NS_A" "$E2E_TMP/stateA"
e2e_start_client clientB "$NS_B" "$E2E_TMP/stateB"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address"
e2e_wait_client clientB "$NS_B" 15 || e2e_fatal "client B got no tunnel address"
e2e_check "the client asked for a keepalive of 5 s" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cTSPMsg Got Tunnel Keepalive5"
e2e_check "the broker offered its floor of 25 s" \
    e2e_has_record "$E2E_TMP/clientA.log" "DEBUG cTSPMsg Got Tunnel Keepalive25"

# Every answer to client A's pings, with its time.
ip netns exec "$NS_A" ping -6 -n -D -i 0.5 -w 150 "$BROKER_TUN_ADDR" >"$E2E_TMP/pingA.out" 2>&1 &
E2E_PID[pingA]=$!

# The time in ms of the first answer to client A after MS; fails without one.
answer_after() {
    awk -v t="$1" '/ bytes from / { s = substr($1, 2, length($1) - 2) * 1000
        if (s > t) { printf "%.0f\n", s; found = 1; exit } } END { exit !found }' "$E2E_TMP/pingA.out"
}
e2e_wait_until 5 answer_after 0 >/dev/null || e2e_fatal "client A's pings are answered"

# A quiet link: after 10 s without traffic client B sends a keepalive and
# the broker echoes it.
if e2e_wait_until 25 e2e_has_record "$E2E_TMP/clientB.log" "DEBUG cBroker Receive Keepalive reply"; then
    e2e_ok "the broker answered a keepalive"
else
    e2e_fatal "the broker answered a keepalive"
fi
e2e_check "the client logged the keepalive it sent" \
    e2e_has_record "$E2E_TMP/clientB.log" "DEBUG cBroker Sending Keepalive"
e2e_check "the broker echoed it" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cBroker Echo Keepalive"

e2e_kill_hard broker
e2e_log "broker killed with SIGKILL"
sleep 2
start_broker
RETURNED=$(e2e_now_ms)
e2e_log "broker restarted with the same configuration and key file"

offers() {
    e2e_count_records "$E2E_TMP/$1.log" "INFO cTunnel Offered Tunnel Addr '$2/$TUN_PREFIX_LEN'"
}
# Client A: its first answer after the return; client B, idle until then:
# its second offer of the same address, and a ping answered.
A_AT="" B_AT=""
while { [ -z "$A_AT" ] || [ -z "$B_AT" ]; } && [ "$(e2e_now_ms)" -lt $((RETURNED + 25000)) ]; do
    [ -n "$A_AT" ] || A_AT=$(answer_after "$RETURNED")
    if [ -z "$B_AT" ] && [ "$(offers clientB "$ADDR_clientB")" -ge 2 ] &&
        ip netns exec "$NS_B" ping -6 -n -c 1 -W 1 "$BROKER_TUN_ADDR" >/dev/null 2>&1; then
        B_AT=$(e2e_now_ms)
    fi
    sleep 0.1
done
secs() { echo "$(($1 / 1000)).$(($1 % 1000 / 100))"; }
# Offered the first address again, and the device kept it, given once.
same_address() {
    [ "$(offers "$1" "$3")" -ge 2 ] && e2e_ns_has_addr "$2" "$3" &&
        [ "$(grep -c "^INFO cBroker Setting '" "$E2E_TMP/$1.log")" -eq 1 ]
}
for c in A B; do
    name=client$c at=${c}_AT ns=NS_$c addr=ADDR_client$c
    took=-1
    [ -z "${!at}" ] || took=$((${!at} - RETURNED))
    if [ "$took" -ge 0 ] && [ "$took" -le 25000 ]; then
        e2e_ok "$name recovered $(secs "$took") s after the broker's return"
    else
        e2e_fail "$name carries traffic again within 25 s of the broker's return"
    fi
    e2e_check "$name set up again after an unanswered keepalive" e2e_has_record "$E2E_TMP/$name.log" \
        "INFO cBroker No word from the broker since the keepalive, setting up again"
    e2e_check "$name keeps ${!addr} on its device, given once" same_address "$name" "${!ns}" "${!addr}"
done

count_keepalives() {
    grep -cxF "DEBUG cBroker Sending Keepalive" "$E2E_TMP/$1.log"
}
declare -A SENT=([A]=$(count_keepalives clientA) [B]=$(count_keepalives clientB))
STOPPED=$(e2e_now_ms)
e2e_stop broker
e2e_log "broker stopped for good"
for c in A B; do
    name=client$c
    if e2e_wait_exit "$name" 35; then
        e2e_log "$name exited $(secs $(($(e2e_now_ms) - STOPPED))) s after the broker was stopped"
        e2e_check "$name exits with status 0 (got $E2E_RC)" [ "$E2E_RC" -eq 0 ]
        e2e_check "$name logged that nobody is home" \
            e2e_has_record "$E2E_TMP/$name.log" "ERROR cBroker Seems nobody is home. Bailing out"
        e2e_check "$name sent a keepalive that went unanswered before giving up" \
            [ "$(count_keepalives "$name")" -gt "${SENT[$c]}" ]
    else
        e2e_fail "$name gives up within 35 s of the broker's end"
    fi
done
e2e_stop pingA
e2e_finish
