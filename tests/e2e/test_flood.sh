# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# A broker under a flood of forged datagrams keeps serving its clients.
#
# Client A is set up and pings the broker's tunnel address all along. A few
# "completer" endpoints run the whole setup exchange. Then a burst of forged
# datagrams (garbage of random lengths up to 2048 bytes, requests, bare
# accepts, offers, keepalive-sized datagrams) comes from far more source
# endpoints than "quib.broker.maxtunnels" allows. Afterwards:
#   - the broker runs, and its peak memory stayed within a bound;
#   - the tunnel table never held more than the limit (replayed from the
#     broker's records of every tunnel made and removed), unfinished
#     tunnels made room while no new endpoint was turned away, and requests
#     that share an identifier still removed stale tunnels;
#   - every completer and client A kept its tunnel;
#   - client A's pings were lost only during the burst, and only while the
#     broker's bounded queues recorded drops;
#   - offers to the forged addresses were held back to the set-up rate, and
#     both kinds of summary appeared in the log;
#   - a new client B completes its setup and pings through the broker.
# Then a fresh broker meets clients that come, go and restart (see "churn").
# Usage: bash test_flood.sh QUIBD FLOODSENDER
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
FLOOD_TOOL=${2:-}
if [ -z "$FLOOD_TOOL" ] || [ ! -x "$FLOOD_TOOL" ]; then
    e2e_fatal "the flood sender '$FLOOD_TOOL' is not an executable file (second argument)"
fi

MAX_TUNNELS=256
COMPLETERS=64              # with client A, well below MAX_TUNNELS
COMPLETER_PORT=40000
BURST_COUNT=300000
BURST_RATE=50000           # datagrams per second: the burst lasts about 6 s
SETTLE=2                   # seconds from the burst's end to the completers' check
SETUP_RATE=20              # the default "quib.broker.setuprate"
SETUP_BURST=5
PING_INTERVAL=0.05
AFTER_SECONDS=6            # client A's pings after the burst and drain
# Forged sources: SPOOF_COUNT addresses from SPOOF_FIRST on, any port from
# 1024 up; the completers use the flood namespace's own address.
FLOOD_BROKER_IP=203.0.113.1
FLOOD_IP=203.0.113.2
SPOOF_FIRST=203.0.113.10
SPOOF_COUNT=8
# Growth of the broker's peak resident memory over its size before the
# burst. What the flood may legitimately fill: two packet queues of 1024
# entries of at most 2048 bytes each (about 4.3 MiB with entry and allocator
# headers, both full at once) and MAX_TUNNELS tunnels of about 1.5 KiB each
# (under 0.4 MiB); the setup limiter's buckets are allocated at start. The
# rest is slack for the allocator. A table that kept every forged endpoint
# (over 200000) would need some 300 MiB.
RSS_GROWTH_LIMIT_KIB=$((8 * 1024))

e2e_topology 2
e2e_add_ns NS_FLOOD f || e2e_fatal "cannot create the flood namespace"
e2e_link "$NS_BROKER" to-f "$FLOOD_BROKER_IP/24" "$NS_FLOOD" up0 "$FLOOD_IP/24" ||
    e2e_fatal "cannot link the broker and the flood namespace"
# Garbage of up to 2048 bytes goes in one frame; the forged addresses are
# the flood namespace's own, so the broker's replies to them are delivered.
if ! ip -n "$NS_BROKER" link set to-f mtu 9000 || ! ip -n "$NS_FLOOD" link set up0 mtu 9000; then
    e2e_fatal "cannot raise the flood link's MTU"
fi
for i in $(seq 0 $((SPOOF_COUNT - 1))); do
    ip -n "$NS_FLOOD" addr add "203.0.113.$((10 + i))/24" dev up0 ||
        e2e_fatal "cannot add a forged source address"
done

e2e_broker_conf broker "quib.broker.maxtunnels=$MAX_TUNNELS" \
    "log4cpp.category.cBroker=INFO" "log4cpp.category.cTSPMsg=INFO" \
    "log4cpp.category.cPktQueu=INFO"
e2e_conf clientA "quib.broker.address=$BROKER_IP_A" "log4cpp.category.cTSPMsg=INFO"
e2e_conf clientB "quib.broker.address=$BROKER_IP_B"

e2e_start_broker broker "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/broker.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "broker did not start its UDP worker"
BROKER_PID=${E2E_PID[broker]}
e2e_start_client clientA "$NS_A" "$E2E_TMP/stateA"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address"
client_port() {
    PORT_A=$(e2e_udp_port "$NS_A" "${E2E_PID[clientA]}")
    [ -n "$PORT_A" ]
}
e2e_wait_until 5 client_port || e2e_fatal "cannot find client A's UDP port"
e2e_log "client A has $ADDR_clientA from $CLIENT_IP_A:$PORT_A"
e2e_ping "$NS_A" "$BROKER_TUN_ADDR" || e2e_fatal "client A cannot ping the broker before the flood"

RSS_BEFORE=$(e2e_proc_kib "$BROKER_PID" VmRSS)
UDP_IN_BEFORE=$(e2e_udp_stat "$NS_BROKER" InDatagrams)
RCVBUF_BEFORE=$(e2e_udp_stat "$NS_BROKER" RcvbufErrors)
UDP_OUT_BEFORE=$(e2e_udp_stat "$NS_BROKER" OutDatagrams)

# Client A pings all through; -O reports each echo still unanswered when the
# next one goes, -D stamps every line with the time.
ip netns exec "$NS_A" ping -6 -n -D -O -i "$PING_INTERVAL" -w 120 "$BROKER_TUN_ADDR" \
    >"$E2E_TMP/pingA.out" 2>&1 &
E2E_PID[pingA]=$!
sleep 1

# The completers share one address, and the set-up rate lets it have
# SETUP_BURST offers at once and then one every 1/SETUP_RATE s. An accept
# that no offer went before protects no tunnel, so they set up in groups that
# the rate lets through, each a run of the sender without a burst; the run
# with the burst then finds them established and proves they stay.
for first in $(seq 0 "$SETUP_BURST" $((COMPLETERS - 1))); do
    group=$((COMPLETERS - first < SETUP_BURST ? COMPLETERS - first : SETUP_BURST))
    timeout 20 ip netns exec "$NS_FLOOD" "$FLOOD_TOOL" broker="$FLOOD_BROKER_IP" \
        completer-addr="$FLOOD_IP" completer-port=$((COMPLETER_PORT + first)) \
        completers="$group" spoof-addr="$SPOOF_FIRST" count=0 settle=0 \
        >>"$E2E_TMP/completers.out" 2>&1 || e2e_fatal "the completers' set-up failed (status $?)"
    sleep "$(awk -v b="$SETUP_BURST" -v r="$SETUP_RATE" 'BEGIN { print 1.5 * b / r }')"
done

e2e_log "flood: $BURST_COUNT datagrams at $BURST_RATE/s from $SPOOF_COUNT forged addresses"
timeout 120 ip netns exec "$NS_FLOOD" "$FLOOD_TOOL" broker="$FLOOD_BROKER_IP" \
    completer-addr="$FLOOD_IP" completer-port="$COMPLETER_PORT" completers="$COMPLETERS" \
    spoof-addr="$SPOOF_FIRST" spoof-count="$SPOOF_COUNT" count="$BURST_COUNT" rate="$BURST_RATE" \
    settle="$SETTLE" seed=$$ protect="$CLIENT_IP_A:$PORT_A" >"$E2E_TMP/flood.out" 2>"$E2E_TMP/flood.err" ||
    e2e_fatal "the flood sender failed (status $?)"
figure() {
    awk -v k="$1" '$1 == k { print $2; exit }' "$E2E_TMP/flood.out"
}
SENT=$(figure sent)
BURST_START=$(figure burst_start)
BURST_END=$(figure burst_end)

# The broker summarises at most every 10 s and only when a datagram comes
# in; client A's pings bring the last summaries after the burst.
SUMMARY_RE='^INFO cTunnel Tunnel table at its limit of '"$MAX_TUNNELS"': [0-9]+ unfinished tunnels evicted, [0-9]+ datagrams from new endpoints dropped since the last report$'
# Both kinds of eviction: unfinished tunnels, and completed ones gone silent.
EVICT_PREFIX="DEBUG cTunnel Tunnel table full, evicting "
summarised_evictions() {
    grep -E "$SUMMARY_RE" "$E2E_TMP/broker.log" | awk '{ s += $10 } END { print s + 0 }'
}
# The counts as they were when the summaries caught up with the records.
summaries_flushed() {
    LOGGED_EVICTIONS=$(grep -cF -- "$EVICT_PREFIX" "$E2E_TMP/broker.log")
    SUMMARY_EVICTED=$(summarised_evictions)
    [ "$LOGGED_EVICTIONS" -gt 0 ] && [ "$SUMMARY_EVICTED" -eq "$LOGGED_EVICTIONS" ]
}
e2e_wait_until 30 summaries_flushed

# A new client sets up while the table is full of forged endpoints.
e2e_start_client clientB "$NS_B" "$E2E_TMP/stateB"
# And client A pings for AFTER_SECONDS more once the broker has drained.
post_burst_done() {
    awk -v t="$1" 'BEGIN { exit !(systime() >= t) }'
}
e2e_wait_until 30 post_burst_done "$(awk -v e="$BURST_END" -v s="$SETTLE" -v a="$AFTER_SECONDS" \
    'BEGIN { printf "%d", e + s + 1 + a + 1 }')"
kill -INT "${E2E_PID[pingA]}" 2>/dev/null
wait "${E2E_PID[pingA]}" 2>/dev/null
unset "E2E_PID[pingA]"

# ------------------------------------------------------------ the broker
e2e_check "the broker still runs after the flood" e2e_alive broker
RSS_AFTER=$(e2e_proc_kib "$BROKER_PID" VmRSS)
RSS_PEAK=$(e2e_proc_kib "$BROKER_PID" VmHWM)
UDP_IN=$(($(e2e_udp_stat "$NS_BROKER" InDatagrams) - UDP_IN_BEFORE))
RCVBUF_DROPS=$(($(e2e_udp_stat "$NS_BROKER" RcvbufErrors) - RCVBUF_BEFORE))
UDP_OUT=$(($(e2e_udp_stat "$NS_BROKER" OutDatagrams) - UDP_OUT_BEFORE))
# The UDP queue writes the first drop of a burst as an ERROR record and the
# rest of the burst as INFO summaries (at most one per 10 s) with their counts.
QUEUE_FIRST="ERROR cPktQueu Queue overflow. Dropping packet"
QUEUE_SUMMARY_RE='^INFO cPktQueu Queue overflow: [0-9]+ packets dropped in the last [0-9]+ s$'
queue_drops() {
    grep -E "$QUEUE_SUMMARY_RE" "$E2E_TMP/broker.log" |
        awk -v first="$(e2e_count_records "$E2E_TMP/broker.log" "$QUEUE_FIRST")" \
            '{ s += $5 } END { print s + first }'
}
QUEUE_DROPS=$(queue_drops)

if grep -q 'libasan' "/proc/$BROKER_PID/maps" 2>/dev/null; then
    e2e_log "memory bound not checked: AddressSanitizer's quarantine keeps freed memory"
else
    GROWTH=$((RSS_PEAK - RSS_BEFORE))
    e2e_check "peak RSS grew by $GROWTH KiB, within $RSS_GROWTH_LIMIT_KIB KiB" \
        [ "$GROWTH" -le "$RSS_GROWTH_LIMIT_KIB" ]
fi

# ------------------------------------------------------------ the table
# Every change to the table is a DEBUG record of category cTunnel, written
# while the table is locked, so the file replays the table's size in order.
TABLE=$(awk '
    $0 == "DEBUG cTunnel Making brand new tunnel.." { n++ }
    index($0, evict) == 1 { n--; ev++ }
    index($0, "DEBUG cTunnel Removing stale tunnel 0x") == 1 { n--; st++ }
    index($0, "DEBUG cTunnel Tunnel table full, dropping datagram from ") == 1 { rf++ }
    n > max { max = n }
    END { printf "%d %d %d %d %d\n", max, n, ev, st, rf }' evict="$EVICT_PREFIX" "$E2E_TMP/broker.log")
read -r TABLE_MAX TABLE_END EVICTED STALE REFUSED <<<"$TABLE"
e2e_check "the table reached its limit of $MAX_TUNNELS (largest: $TABLE_MAX)" \
    [ "$TABLE_MAX" -eq "$MAX_TUNNELS" ]
e2e_check "the table never held more than $MAX_TUNNELS tunnels" [ "$TABLE_MAX" -le "$MAX_TUNNELS" ]
e2e_check "unfinished tunnels made room ($EVICTED evicted)" [ "$EVICTED" -gt 0 ]
e2e_check "forged requests with a shared identifier removed stale tunnels ($STALE)" \
    [ "$STALE" -gt 0 ]
e2e_check "no new endpoint was turned away while unfinished tunnels could go ($REFUSED refused)" \
    [ "$REFUSED" -eq 0 ]
SUMMARIES=$(grep -cE "$SUMMARY_RE" "$E2E_TMP/broker.log" || true)
e2e_check "the table's limit was summarised at INFO ($SUMMARIES lines)" [ "$SUMMARIES" -ge 1 ]
# One at the first eviction, then at most one per 10 s of flood.
BURST_SECONDS=$(figure burst_seconds)
e2e_check "the summaries did not flood the log" \
    [ "$SUMMARIES" -le $((${BURST_SECONDS%.*} / 10 + 3)) ]
e2e_check "the summaries caught up with every eviction ($SUMMARY_EVICTED of $LOGGED_EVICTIONS)" \
    [ "$SUMMARY_EVICTED" -eq "$LOGGED_EVICTIONS" ]

# ------------------------------------------------------------ the completers
COMP_BEFORE=$(figure completers_before)
COMP_AFTER=$(figure completers_after)
e2e_check "all $COMPLETERS completers were established before the burst ($COMP_BEFORE)" \
    [ "$COMP_BEFORE" = "$COMPLETERS" ]
e2e_check "all $COMPLETERS completers kept their tunnels through the burst ($COMP_AFTER)" \
    [ "$COMP_AFTER" = "$COMPLETERS" ]

# ------------------------------------------------------------ the setup rate
HELD=$(grep -E '^INFO cBroker Setup rate exceeded: [0-9]+ offers held back since the last report$' \
    "$E2E_TMP/broker.log" | awk '{ s += $6 } END { print s + 0 }')
e2e_check "held-back offers were summarised ($HELD held back)" [ "$HELD" -gt 0 ]
# Per forged address: the burst allowance, then the steady rate over the
# burst and the broker's drain after it.
OFFER_LIMIT=$((SETUP_BURST + SETUP_RATE * (${BURST_SECONDS%.*} + 1 + SETTLE)))
MOST_OFFERS=$(grep -E '^INFO cBroker Config msg from 203\.0\.113\.(1[0-9]):' "$E2E_TMP/broker.log" |
    sed 's/^INFO cBroker Config msg from \([0-9.]*\):.*/\1/' | sort | uniq -c |
    awk '$1 > m { m = $1 } END { print m + 0 }')
e2e_check "no forged address got more than $OFFER_LIMIT offers (most: $MOST_OFFERS)" \
    [ "$MOST_OFFERS" -le "$OFFER_LIMIT" ]
e2e_check "forged addresses did get offers at the allowed rate" [ "$MOST_OFFERS" -ge "$SETUP_BURST" ]

# ------------------------------------------------------------ client A's pings
# An echo counts as lost when no reply ever came. Its send time is that of
# the "no answer yet" line (printed as the next echo goes) less one interval.
# The rule: losses only from the burst's start to SETTLE + 1 s after its end
# (the broker drains what it queued), and never more than the drops that the
# broker's socket buffer and its packet queue recorded.
PING=$(awk -v bs="$BURST_START" -v be="$BURST_END" -v iv="$PING_INTERVAL" -v settle="$SETTLE" '
    function ts(s) { gsub(/[][]/, "", s); return s + 0 }
    /icmp_seq=[0-9]+ ttl=/ { match($0, /icmp_seq=[0-9]+/); seq = substr($0, RSTART + 9, RLENGTH - 9)
        got[seq] = 1; if (ts($1) > be + settle + 1) after++ }
    /no answer yet for icmp_seq=/ { seq = $NF; sub(/.*=/, "", seq); late[seq] = ts($1) - iv }
    / packets transmitted, / { tx = $1 }
    END {
        lost = 0; inside = 0; outside = 0
        for (s = 1; s < tx; s++) {
            if (s in got) continue
            lost++
            if ((s in late) && late[s] >= bs - iv && late[s] <= be + settle + 1) inside++
            else outside++
        }
        printf "%d %d %d %d %d\n", tx, lost, inside, outside, after
    }' "$E2E_TMP/pingA.out")
read -r PING_TX PING_LOST PING_INSIDE PING_OUTSIDE PING_AFTER <<<"$PING"
e2e_check "client A's pings ran through the flood ($PING_TX sent)" [ "$PING_TX" -ge 200 ]
e2e_check "no echo was lost outside the burst ($PING_OUTSIDE)" [ "$PING_OUTSIDE" -eq 0 ]
# The queue's last summary of the burst comes up to 10 s after the record
# before it, and up to 5 s later still on an idle broker.
drops_cover_losses() {
    QUEUE_DROPS=$(queue_drops)
    [ "$PING_LOST" -le $((QUEUE_DROPS + RCVBUF_DROPS)) ]
}
e2e_wait_until 20 drops_cover_losses
e2e_check "echoes lost in the burst ($PING_LOST) stay within the recorded drops" \
    [ "$PING_LOST" -le $((QUEUE_DROPS + RCVBUF_DROPS)) ]
QUEUE_RECORDS=$(($(e2e_count_records "$E2E_TMP/broker.log" "$QUEUE_FIRST") +
    $(grep -cE "$QUEUE_SUMMARY_RE" "$E2E_TMP/broker.log" || true)))
e2e_check "the queue's drops did not flood the log ($QUEUE_RECORDS records)" \
    [ "$QUEUE_RECORDS" -le $((${BURST_SECONDS%.*} / 10 + 3)) ]
e2e_check "client A's echoes are answered after the burst ($PING_AFTER replies)" \
    [ "$PING_AFTER" -ge $((AFTER_SECONDS * 15)) ]
SETUPS_A=$(grep -cF "INFO cBroker Config msg from $CLIENT_IP_A:" "$E2E_TMP/broker.log")
e2e_check "client A kept the tunnel of its one setup (setups: $SETUPS_A)" [ "$SETUPS_A" -eq 1 ]
e2e_check "client A still runs" e2e_alive clientA

# ------------------------------------------------------------ client B
if e2e_wait_client clientB "$NS_B" 15; then
    e2e_ok "new client B completed its setup after the flood ($ADDR_clientB)"
    if e2e_ping "$NS_B" "$BROKER_TUN_ADDR"; then
        e2e_ok "client B pings the broker's tunnel address"
    else
        e2e_fail "client B pings the broker's tunnel address"
    fi
else
    e2e_fail "new client B completed its setup after the flood"
fi

e2e_banner "flood figures
datagrams sent:               $SENT (in $BURST_SECONDS s; $(figure distinct_endpoints) distinct forged endpoints, $(figure send_failed) failed sends)
  by kind:                    garbage $(figure sent_garbage), request $(figure sent_request), accept $(figure sent_accept), offer $(figure sent_offer), keepalive $(figure sent_keepalive)
received by the broker:       $UDP_IN (UDP InDatagrams in its namespace, all senders)
dropped by the socket buffer: $RCVBUF_DROPS (RcvbufErrors)
dropped by the UDP queue:     $QUEUE_DROPS (in $QUEUE_RECORDS \"Queue overflow\" records)
sent by the broker:           $UDP_OUT (UDP OutDatagrams: offers, echoes, frames to every established tunnel)
tunnel table:                 at most $TABLE_MAX of $MAX_TUNNELS ($TABLE_END at the end); $EVICTED evicted, $STALE removed as stale, $REFUSED refused
offers held back:             $HELD (most offers to one forged address: $MOST_OFFERS)
client A pings:               $PING_TX sent, $PING_LOST lost ($PING_INSIDE in the burst)
broker RSS:                   $RSS_BEFORE KiB before, peak $RSS_PEAK KiB, $RSS_AFTER KiB after"
e2e_check "the broker still runs at the end" e2e_alive broker

# ------------------------------------------------------------ churn
# A fresh broker whose table is smaller than all the endpoints it meets in
# CHURN_SECONDS: CHURN_CLIENTS scripted clients, CHURN_PERCENT % of them
# leaving without a word and as many restarting on new endpoints every
# second, client A pinging all along, and first BLIND endpoints that accept
# blindly behind offers that the set-up rate held back. The broker grants
# keepalives of CHURN_KEEPALIVE s, so the tunnels of clients gone age within
# the run. The table must fill with the tunnels of clients gone, and still
# take every new client and keep every client that stays.
CHURN_CLIENTS=200
CHURN_SECONDS=30
CHURN_PERCENT=2
CHURN_KEEPALIVE=5
BLIND=40
BLIND_IP=203.0.113.30
e2e_stop clientA
e2e_stop clientB
e2e_stop broker
ip -n "$NS_FLOOD" addr add "$BLIND_IP/24" dev up0 || e2e_fatal "cannot add the blind address"
e2e_broker_conf churn "quib.broker.maxtunnels=$MAX_TUNNELS" "quib.client.keepalive=$CHURN_KEEPALIVE" \
    "log4cpp.category.cBroker=INFO" "log4cpp.category.cTSPMsg=INFO"
e2e_start_broker churn "$NS_BROKER"
e2e_wait_until 10 e2e_has_record "$E2E_TMP/churn.log" "INFO cBroker Starting UDP thread..." ||
    e2e_fatal "the churn broker did not start"
e2e_start_client clientA "$NS_A" "$E2E_TMP/stateA"
e2e_wait_client clientA "$NS_A" 15 || e2e_fatal "client A got no tunnel address from the churn broker"
e2e_wait_until 5 client_port || e2e_fatal "cannot find client A's UDP port"
ip netns exec "$NS_A" ping -6 -n -q -i 0.2 -w $((CHURN_SECONDS + 2)) "$BROKER_TUN_ADDR" \
    >"$E2E_TMP/pingChurn.out" 2>&1 &
E2E_PID[pingChurn]=$!
CHURN_ADDRS=$(seq -s, -f "203.0.113.%g" 10 $((10 + SPOOF_COUNT - 1)))
timeout $((CHURN_SECONDS + 30)) ip netns exec "$NS_FLOOD" "$FLOOD_TOOL" churn \
    broker="$FLOOD_BROKER_IP" addrs="$CHURN_ADDRS" clients="$CHURN_CLIENTS" seconds="$CHURN_SECONDS" \
    percent="$CHURN_PERCENT" keepalive="$CHURN_KEEPALIVE" blind="$BLIND" blind-addr="$BLIND_IP" \
    seed=$$ >"$E2E_TMP/churn.out" 2>"$E2E_TMP/churn.err" || e2e_fatal "the churn run failed (status $?)"
wait "${E2E_PID[pingChurn]}" 2>/dev/null
unset "E2E_PID[pingChurn]"
churn() {
    awk -v k="churn_$1" '$1 == k { print $2; exit }' "$E2E_TMP/churn.out"
}
CHURN=$(awk '
    $0 == "DEBUG cTunnel Making brand new tunnel.." { n++ }
    index($0, "DEBUG cTunnel Tunnel table full, evicting ") == 1 { n--; if ($7 == "silent") si++ }
    index($0, "DEBUG cTunnel Removing stale tunnel 0x") == 1 { n--; st++ }
    index($0, "DEBUG cTunnel Tunnel table full, dropping datagram from ") == 1 { rf++ }
    n > max { max = n }
    END { printf "%d %d %d %d\n", max, si, st, rf }' "$E2E_TMP/churn.log")
read -r CHURN_MAX CHURN_SILENT CHURN_STALE CHURN_REFUSED <<<"$CHURN"
e2e_check "under churn the table reached its limit of $MAX_TUNNELS (largest: $CHURN_MAX)" \
    [ "$CHURN_MAX" -eq "$MAX_TUNNELS" ]
e2e_check "tunnels of clients gone made room once their keepalive passed ($CHURN_SILENT)" \
    [ "$CHURN_SILENT" -gt 0 ]
e2e_check "no datagram was turned away for a full table ($CHURN_REFUSED)" [ "$CHURN_REFUSED" -eq 0 ]
e2e_check "restarted clients removed their old tunnels ($CHURN_STALE stale)" [ "$CHURN_STALE" -gt 0 ]
e2e_check "nearly every client is up at the end ($(churn up) of $CHURN_CLIENTS)" \
    [ "$(churn up)" -ge $((CHURN_CLIENTS * 9 / 10)) ]
e2e_check "every client up at the end holds its tunnel ($(churn held) of $(churn up))" \
    [ "$(churn held)" -eq "$(churn up)" ]
e2e_check "no setup needed a retry (slowest: $(churn slowest_setup) s)" \
    awk -v s="$(churn slowest_setup)" 'BEGIN { exit !(s < 10) }'
e2e_check "restarted clients got their identifiers back ($(churn same_id), others $(churn other_id))" \
    [ "$(churn same_id)" -gt 0 -a "$(churn other_id)" -eq 0 ]
# Blind accepts behind held-back offers do not complete the exchange: their
# tunnels are the first to give way.
BLIND_OFFERED=$(grep -c "^INFO cBroker Config msg from $BLIND_IP:" "$E2E_TMP/churn.log" || true)
BLIND_EVICTED=$(grep -c "^DEBUG cTunnel Tunnel table full, evicting unfinished tunnel of $BLIND_IP:" \
    "$E2E_TMP/churn.log" || true)
e2e_check "the set-up rate held back offers to blind endpoints ($((BLIND - BLIND_OFFERED)) of $BLIND)" \
    [ "$BLIND_OFFERED" -lt "$BLIND" ]
e2e_check "every blind accept behind a held-back offer left its tunnel unprotected ($BLIND_EVICTED evicted)" \
    [ "$BLIND_EVICTED" -eq $((BLIND - BLIND_OFFERED)) ]
A_GONE=$(grep -cE "^DEBUG cTunnel Tunnel table full, evicting [a-z]+ tunnel of $CLIENT_IP_A:" \
    "$E2E_TMP/churn.log" || true)
CHURN_PING=$(awk '/ packets transmitted, / { print $1, $4 }' "$E2E_TMP/pingChurn.out")
read -r CHURN_PING_TX CHURN_PING_RX <<<"$CHURN_PING"
e2e_check "client A kept its tunnel and its pings through the churn ($CHURN_PING_RX of $CHURN_PING_TX)" \
    [ "$A_GONE" -eq 0 -a "${CHURN_PING_RX:-0}" -ge $((${CHURN_PING_TX:-1} * 95 / 100)) ]
e2e_banner "churn figures
clients: $CHURN_CLIENTS for $CHURN_SECONDS s; $(churn left) left, $(churn restarted) restarted, $(churn setups) setups
table: at most $CHURN_MAX of $MAX_TUNNELS; $CHURN_SILENT silent tunnels evicted, $BLIND_EVICTED blind, $CHURN_STALE stale, $CHURN_REFUSED refused
at the end: $(churn held) of $(churn up) clients up hold their tunnels; slowest setup $(churn slowest_setup) s"
e2e_finish
