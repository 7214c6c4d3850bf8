# shellcheck shell=bash disable=SC2154,SC2317 source=lib.sh
# The broker's scale benchmark in its smoke mode, against the daemon under
# test: every tunnel of every case comes up, and it prints its table and
# goals and writes its figures and chart; the same with routed prefixes.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
timeout 90 "$ROOT/scripts/bench-scale" --smoke --quibd "$QUIBD" --build "$E2E_TMP/build" \
    --out "$E2E_TMP/out" >"$E2E_TMP/scale.out" 2>&1
rc=$?
[ "$rc" -eq 3 ] && e2e_skip "$(grep 'cannot install' "$E2E_TMP/scale.out")"
if [ "$rc" -ne 0 ]; then
    tail -n 40 "$E2E_TMP/scale.out"
    e2e_fatal "scripts/bench-scale --smoke ended with $rc"
fi
e2e_ok "scripts/bench-scale --smoke ran to its end"

e2e_check "the table has a row per case" \
    [ "$(grep -cE '^(unicast|broadcast) +(1|100) +(1|100) ' "$E2E_TMP/scale.out")" -eq 4 ]
e2e_check "the table states every goal" [ "$(grep -c '^goal: ' "$E2E_TMP/scale.out")" -eq 5 ]
rows_complete() {
    python3 - "$E2E_TMP/out/scale.json" <<'PY'
import json, sys
rows = {(r["mode"], r["tunnels"]): r for r in json.load(open(sys.argv[1]))["rows"]}
assert sorted(rows) == [(m, n) for m in ("broadcast", "unicast") for n in (1, 100)], sorted(rows)
for r in rows.values():
    assert r["up"] == r["tunnels"], r
    for fig in ("down_pps", "down_cpu_ns_per_packet", "up_pps", "up_cpu_ns_per_packet"):
        assert r[fig] > 0, (fig, r)
PY
}
e2e_check "scale.json has every case, every tunnel up and every figure" rows_complete
e2e_check "scale.png is a PNG image" \
    [ "$(head -c 8 "$E2E_TMP/out/scale.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ]

# With routed prefixes every tunnel holds one, and the probe's traffic to and
# from its prefix is delivered both ways.
timeout 90 "$ROOT/scripts/bench-scale" --smoke --delegations --quibd "$QUIBD" \
    --build "$E2E_TMP/build" --out "$E2E_TMP/routed" >"$E2E_TMP/routed.out" 2>&1 ||
    { tail -n 40 "$E2E_TMP/routed.out"; e2e_fatal "scripts/bench-scale --smoke --delegations failed"; }
routed_complete() {
    python3 - "$E2E_TMP/routed/scale.json" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
rows = {(r["mode"], r["tunnels"]): r for r in doc["rows"]}
assert sorted(rows) == [(m, n) for m in ("routed", "unicast") for n in (1, 100)], sorted(rows)
for r in rows.values():
    assert r["up"] == r["tunnels"] and r["down_pps"] > 0 and r["up_pps"] > 0, r
assert [c["tunnels"] for c in doc["routed_cost"]] == [1, 1, 100, 100], doc["routed_cost"]
PY
}
e2e_check "with --delegations the routed prefixes carry the traffic, costed against unicast" \
    routed_complete
e2e_finish
