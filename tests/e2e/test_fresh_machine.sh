# shellcheck shell=bash source=lib.sh
# The README's first command on a fresh machine: a minimal Debian 12 root
# (mmdebstrap --variant=minbase), holding a clean checkout of HEAD and
# nothing else of ours, where scripts/demo runs as root in a chroot and must
# install what it needs, build and pass. Then a broker from that build, with
# the README's three-line configuration, must start although nothing made
# /var/lib/quibd. The root is cached pristine between runs and copied; the
# packages apt downloads there are cached beside it, outside the root.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../../scripts/deps.sh"

[ "$(id -u)" = 0 ] || e2e_skip "needs root (a chroot with its own mounts)"
quibd_need_packages mmdebstrap >/dev/null 2>&1 || e2e_skip "mmdebstrap is missing and could not be installed"
for tool in mmdebstrap git chroot unshare tar; do
    command -v "$tool" >/dev/null 2>&1 || e2e_skip "the tool '$tool' is not installed"
done
SRC=$(cd "$(dirname "$0")/../.." && pwd)
git -c safe.directory='*' -C "$SRC" rev-parse -q --verify HEAD >/dev/null ||
    e2e_skip "$SRC is not a git checkout with a commit"

CACHE=/var/cache/quibd-test
TARBALL="$CACHE/bookworm-minbase.tar"
APT_CACHE="$CACHE/fresh-machine-apt"

e2e_setup "/tmp/quibd-e2e-test_fresh_machine.XXXXXX" || e2e_fatal "mktemp failed"
ROOT="$E2E_TMP/root"
# The mounts live in a private mount namespace and end with it; should one
# still show, the root is left on disk rather than removed through it.
e2e_at_exit() {
    grep -qF " $ROOT" /proc/self/mounts || return 0
    umount -R -l "$ROOT" 2>/dev/null
    grep -qF " $ROOT" /proc/self/mounts && E2E_TMP=""
}

if [ ! -s "$TARBALL" ]; then
    e2e_log "mmdebstrap --variant=minbase bookworm into $TARBALL (once)"
    mkdir -p "$CACHE"
    making="$CACHE/making-$$.tar"
    if ! timeout 300 mmdebstrap --variant=minbase bookworm "$making" >"$E2E_TMP/mmdebstrap.log" 2>&1; then
        rm -f "$making"
        e2e_skip "mmdebstrap failed: $(tail -n 3 "$E2E_TMP/mmdebstrap.log")"
    fi
    mv "$making" "$TARBALL"
fi
mkdir -p "$ROOT" "$APT_CACHE/archives/partial" "$APT_CACHE/lists/partial" || e2e_fatal "cannot make $ROOT"
tar -C "$ROOT" -xf "$TARBALL" || e2e_fatal "cannot unpack $TARBALL"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
git -c safe.directory='*' clone -q "$SRC" "$ROOT/root/quibd" || e2e_fatal "cannot clone $SRC"
e2e_log "a bare root with $(git -C "$ROOT/root/quibd" log -1 --format='%h %s') in /root/quibd"

# Runs inside the chroot: the demo, then the README's broker for 4 s in a
# network namespace of its own, with /var/lib/quibd proven absent first.
cat >"$ROOT/root/fresh.sh" <<'EOF'
cd /root/quibd || exit 2
scripts/demo >/root/demo.out 2>&1
echo "$?" >/root/demo.rc
printf 'quib.mode = broker\nquib.broker.ip6prefix = 2001:db8:1::\nquib.broker.ip6prefixlen = 64\n' >/root/broker.conf
[ -e /var/lib/quibd ] && { echo "/var/lib/quibd is there already" >/root/broker.err; exit 0; }
timeout 4 unshare --net build/quibd /root/broker.conf >/root/broker.out 2>/root/broker.err
echo "$?" >/root/broker.rc
stat -c %a /var/lib/quibd >/root/statedir.mode 2>&1
EOF

e2e_log "scripts/demo in the chroot (packages, build, demo)"
START=$(e2e_now_ms)
timeout 900 unshare --mount --propagation private -- bash -c '
    set -e
    r=$1 apt=$2
    mount --bind "$r" "$r"
    mount -t proc proc "$r/proc"
    mount --rbind /sys "$r/sys"
    mount --rbind /dev "$r/dev"
    mount -t tmpfs tmpfs "$r/run"
    mount -t tmpfs tmpfs "$r/tmp"
    mount --bind "$apt/archives" "$r/var/cache/apt/archives"
    mount --bind "$apt/lists" "$r/var/lib/apt/lists"
    exec chroot "$r" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin bash /root/fresh.sh
' _ "$ROOT" "$APT_CACHE" >"$E2E_TMP/chroot.out" 2>&1
e2e_log "the chroot ran $((($(e2e_now_ms) - START) / 1000)) s"

DEMO_RC=$(cat "$ROOT/root/demo.rc" 2>/dev/null || echo none)
if [ "$DEMO_RC" != 0 ]; then
    e2e_log "the demo's last lines:"
    tail -n 25 "$ROOT/root/demo.out" "$E2E_TMP/chroot.out" 2>/dev/null | sed 's/^/   | /'
fi
e2e_check "scripts/demo passes on a bare Debian 12 root (status $DEMO_RC)" [ "$DEMO_RC" = 0 ]
e2e_check "the demo installed its packages there" grep -q '^quibd: installing ' "$ROOT/root/demo.out"

BROKER_RC=$(cat "$ROOT/root/broker.rc" 2>/dev/null || echo none)
[ "$BROKER_RC" = 124 ] || tail -n 5 "$ROOT/root/broker.err" 2>/dev/null | sed 's/^/   | /'
e2e_check "the README's broker runs without /var/lib/quibd until stopped (status $BROKER_RC)" \
    [ "$BROKER_RC" = 124 ]
e2e_check "it made /var/lib/quibd private to itself (mode $(cat "$ROOT/root/statedir.mode" 2>/dev/null))" \
    [ "$(cat "$ROOT/root/statedir.mode" 2>/dev/null)" = 700 ]
e2e_check "and started its workers" grep -q 'Starting TUN thread' "$ROOT/root/broker.err"
e2e_finish
