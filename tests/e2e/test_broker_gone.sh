# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# A client keeps its tunnel alive with keepalives while the broker answers
# them, and gives up with status 0 once the broker is gone. The broker's
# keepalive floor (11 s) is above what the client asks for (5 s), so the
# client must use the offered value: with its own 5 s it would give up at the
# first quiet 10-second time-out even though the broker still answers.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

e2e_topology 1
e2e_broker_conf broker "quib.client.keepalive=11"
e2e_conf clientA "quib.broker.address=$BROKER_IP_A" "quib.client.keepalive=5"

e2e_start_broker broker "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "broker did not start its UDP worker"
e2e_start_client clientA "$NS_A" "$E2E_TMP/stateA"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address"
e2e_check "the client asked for a keepalive of 5 s" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cTSPMsg Got Tunnel Keepalive5"
e2e_check "the broker offered its floor of 11 s" \
    e2e_has_record "$E2E_TMP/clientA.log" "DEBUG cTSPMsg Got Tunnel Keepalive11"

# A quiet link: after 10 s without traffic the client sends a keepalive and
# the broker echoes it.
if e2e_wait_until 25 e2e_has_record "$E2E_TMP/clientA.log" "DEBUG cBroker Receive Keepalive reply"; then
    e2e_ok "the broker answered a keepalive"
else
    e2e_fatal "the broker answered a keepalive"
fi
e2e_check "the client logged the keepalive it sent" \
    e2e_has_record "$E2E_TMP/clientA.log" "DEBUG cBroker Sending Keepalive"
e2e_check "the broker echoed it" \
    e2e_has_record "$E2E_TMP/broker.log" "DEBUG cBroker Echo Keepalive"
e2e_check "the client still runs while the broker answers" e2e_alive clientA

count_keepalives() {
    grep -cxF "DEBUG cBroker Sending Keepalive" "$E2E_TMP/clientA.log"
}
SENT_BEFORE=$(count_keepalives)
STOPPED=$(e2e_now_ms)
e2e_stop broker
e2e_log "broker killed"
if e2e_wait_exit clientA 35; then
    ELAPSED=$(($(e2e_now_ms) - STOPPED))
    e2e_log "client exited $((ELAPSED / 1000)).$((ELAPSED % 1000 / 100)) s after the broker was killed"
    e2e_check "the client exits with status 0 (got $E2E_RC)" [ "$E2E_RC" -eq 0 ]
    e2e_check "the client logged that nobody is home" \
        e2e_has_record "$E2E_TMP/clientA.log" "ERROR cBroker Seems nobody is home. Bailing out"
    e2e_check "the client sent a keepalive that went unanswered before giving up" \
        [ "$(count_keepalives)" -gt "$SENT_BEFORE" ]
else
    e2e_fail "the client gives up within 35 s of the broker's end"
fi
e2e_finish
