# shellcheck shell=bash disable=SC2154 source=lib.sh
# The benchmark script in its smoke mode, against the daemon under test: it
# brings up the plain path, quibd and OpenVPN, measures each once, prints
# its table, writes its figures and chart, and leaves nothing behind.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ROOT/scripts/deps.sh"
quibd_need_packages "${QUIBD_BENCH_PACKAGES[@]}" >"$E2E_TMP/deps.out" 2>&1 ||
    e2e_skip "cannot install ${QUIBD_BENCH_PACKAGES[*]}: $(tail -n 1 "$E2E_TMP/deps.out")"

timeout 170 "$ROOT/scripts/bench" --smoke --quibd "$QUIBD" --out "$E2E_TMP/out" \
    >"$E2E_TMP/bench.out" 2>&1
rc=$?
if [ "$rc" -ne 0 ]; then
    tail -n 40 "$E2E_TMP/bench.out"
    e2e_fatal "scripts/bench --smoke ended with $rc"
fi
e2e_ok "scripts/bench --smoke ran to its end"

e2e_check "the table compares quibd with OpenVPN and the plain path" \
    grep -q "quibd/openvpn.*quibd/quibd-off.*quibd/plain" "$E2E_TMP/bench.out"
e2e_check "the table states every goal" \
    [ "$(grep -c '^goal: ' "$E2E_TMP/bench.out")" -eq 8 ]
figures_complete() {
    python3 - "$E2E_TMP/out/results.json" <<'EOF'
import json, sys
s = json.load(open(sys.argv[1]))["summary"]
for path in ("plain", "quibd", "quibd-off", "openvpn"):
    for fig in ("tcp_up_mbps", "tcp_down_mbps", "udp_up_pps", "udp_down_pps", "ping_median_us",
                "ping_p99_us"):
        assert s[fig][path]["median"] > 0, (fig, path)
for path in ("quibd", "quibd-off", "openvpn"):
    for fig in ("cpu_broker_us_per_packet", "cpu_client_us_per_packet"):
        assert s[fig][path]["median"] > 0, (fig, path)
EOF
}
e2e_check "results.json holds every figure of every path" figures_complete
e2e_check "results.png is a PNG image" \
    [ "$(head -c 8 "$E2E_TMP/out/results.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ]
namespaces=$(sed -n 's/^\[bench [0-9]*s\] namespaces \([^ ]*\) and \([^ ]*\)$/\1 \2/p' "$E2E_TMP/bench.out")
none_left() {
    local ns
    for ns in $namespaces; do
        ip netns list | awk '{ print $1 }' | grep -qxF "$ns" && return 1
    done
    return 0
}
e2e_check "the benchmark named its namespaces" [ -n "$namespaces" ]
e2e_check "no namespace of the benchmark is left" none_left
e2e_finish
