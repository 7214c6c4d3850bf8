# shellcheck shell=bash disable=SC2016,SC2154,SC2317 source=lib.sh
# Start-up failures print their message and end the daemon with status 255
# before it creates anything (a broker reads its key file only once its TUN
# device and socket exist; both go with the process). Each run happens in a
# namespace of its own so that a daemon that wrongly went on could not touch
# the host.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

e2e_add_ns NS_X x || e2e_fatal "cannot create a namespace"

no_tun_in_ns() {
    [ -z "$(ip -n "$NS_X" -o link show type tun 2>/dev/null)" ]
}
# run_in_ns NAME [MODE]: the daemon on NAME.conf in the namespace, its
# output in NAME.out and NAME.err, its exit status in RC.
run_in_ns() {
    timeout 20 ip netns exec "$NS_X" "$QUIBD" "$E2E_TMP/$1.conf" ${2:+"$2"} \
        >"$E2E_TMP/$1.out" 2>"$E2E_TMP/$1.err"
    RC=$?
}
NO_PREFIX="ERROR cBroker We need an IP6 Prefix at least in order to run this show in server mode. Bailing out!!!"

# --- missing configuration file
MISSING="$E2E_TMP/no-such-dir/quibd.conf"
timeout 20 ip netns exec "$NS_X" unshare -m sh -c \
    'mount -t tmpfs tmpfs "$1" && exec "$2" "$3" client' quibd-client \
    "$E2E_STATE_ROOT" "$QUIBD" "$MISSING" >"$E2E_TMP/missing.out" 2>"$E2E_TMP/missing.err"
RC=$?
e2e_check "missing config file: exit status 255 (got $RC)" [ "$RC" -eq 255 ]
e2e_check "missing config file: the message on standard output" \
    grep -qxF "Couldn't load config file '$MISSING' bailing out" "$E2E_TMP/missing.out"
e2e_check "missing config file: an error record on standard error" \
    grep -qF "Couldn't load config file '$MISSING' bailing out" "$E2E_TMP/missing.err"

# --- broker mode without a prefix, mode taken from the file
e2e_conf noprefix "quib.mode=broker" "quib.broker.ip6prefixlen=64"
run_in_ns noprefix
e2e_check "broker without prefix: exit status 255 (got $RC)" [ "$RC" -eq 255 ]
e2e_check "broker without prefix: the error record" e2e_has_record "$E2E_TMP/noprefix.log" "$NO_PREFIX"
e2e_check "broker without prefix: no TUN device was created" no_tun_in_ns

# --- client without a broker address
e2e_conf noaddr "quib.broker.port=3653"
e2e_run_client_fg noaddr "$NS_X"
e2e_check "client without address: exit status 255 (got $E2E_RC)" [ "$E2E_RC" -eq 255 ]
e2e_check "client without address: the message on standard output" \
    grep -qxF "Cannot run the client without knowing where to connect to. Bailing Out !" "$E2E_TMP/noaddr.out"
e2e_check "client without address: no TUN device was created" no_tun_in_ns

# --- client with an address that does not resolve
e2e_conf unresolved "quib.broker.address=quibd-e2e.invalid"
e2e_run_client_fg unresolved "$NS_X"
e2e_check "unresolvable address: exit status 255 (got $E2E_RC)" [ "$E2E_RC" -eq 255 ]
e2e_check "unresolvable address: the error record" \
    e2e_has_record "$E2E_TMP/unresolved.log" "ERROR cBroker Could not resolve hostname: 'quibd-e2e.invalid'"
e2e_check "unresolvable address: no TUN device was created" no_tun_in_ns

# --- a mode argument other than exactly "client" selects broker mode
e2e_conf modecase "quib.broker.address=$BROKER_IP_A"
run_in_ns modecase Client
e2e_check "mode 'Client' runs the broker: exit status 255 (got $RC)" [ "$RC" -eq 255 ]
e2e_check "mode 'Client' runs the broker: it asks for a prefix" \
    e2e_has_record "$E2E_TMP/modecase.log" "$NO_PREFIX"

# --- a broker key file that others can read, or of the wrong size
e2e_broker_conf badkey
KEYFILE="$E2E_TMP/badkey.key"
# key_refused WHAT REASON: the broker stops on KEYFILE and leaves it as it is.
key_refused() {
    local before
    before=$(stat -c %a:%s "$KEYFILE")
    : >"$E2E_TMP/badkey.log"
    run_in_ns badkey broker
    e2e_check "key file $1: exit status 255 (got $RC)" [ "$RC" -eq 255 ]
    e2e_check "key file $1: the error record" e2e_has_record "$E2E_TMP/badkey.log" \
        "ERROR cBroker Broker key file '$KEYFILE' $2. Bailing out"
    e2e_check "key file $1: left as it was" [ "$(stat -c %a:%s "$KEYFILE")" = "$before" ]
}
head -c 32 /dev/urandom >"$KEYFILE" && chmod 644 "$KEYFILE"
key_refused "readable by others" "can be read by group or others (chmod 600 it)"
head -c 31 /dev/urandom >"$KEYFILE" && chmod 600 "$KEYFILE"
key_refused "of 31 bytes" "must hold 32 bytes, not 31"
# --- a status socket that cannot be made ends the start
e2e_broker_conf nosock "quib.control.socket=$E2E_TMP/absent/deeper/nosock.sock"
run_in_ns nosock broker
e2e_check "status socket that cannot be made: exit status 255 (got $RC)" [ "$RC" -eq 255 ]
e2e_check "status socket that cannot be made: the error record" \
    grep -qF "Cannot open the status socket (quib.control.socket names another path, empty turns it off). Bailing out" \
    "$E2E_TMP/nosock.log"

# --- worker threads that cannot start (a stack limit no thread's stack fits
# in), a relative socket path, and values that keep only their low bits
e2e_broker_conf narrow "quib.control.socket=narrow-rel.sock" "quib.broker.port=65536" \
    "quib.broker.ip6prefixlen=100"
(ulimit -s 100000000 && timeout 20 ip netns exec "$NS_X" "$QUIBD" "$E2E_TMP/narrow.conf" broker) >/dev/null 2>&1
RC=$?
e2e_check "worker thread that cannot start: exit status 255 (got $RC)" [ "$RC" -eq 255 ]
e2e_check "worker thread that cannot start: the error record" \
    e2e_has_record "$E2E_TMP/narrow.log" "ERROR cBroker Could not start the UDP thread: Resource temporarily unavailable. Bailing out"
e2e_check "a relative status socket lies beside the configuration file" [ -S "$E2E_TMP/narrow-rel.sock" ]
e2e_check "port 65536: an INFO record says what it becomes" e2e_has_record "$E2E_TMP/narrow.log" \
    "INFO cBroker quib.broker.port 65536 is outside 1 to 65535: its low 16 bits, 0, are used (a port the kernel picks)"
e2e_check "prefix length 100: an INFO record says why addresses leave the prefix" \
    grep -qF "INFO cBroker quib.broker.ip6prefixlen 100 is longer than 96" "$E2E_TMP/narrow.log"
e2e_finish
