# shellcheck shell=bash disable=SC2016,SC2317 source=lib.sh
# The Debian package, as an operator gets it: built with cpack from this
# build tree; its metadata (Depends naming the packages that own the
# libraries the daemon links, the conffile) and its contents; cmake --install
# lays out the same files under its prefix without replacing an operator's
# configuration; the package extracted into a scratch root, where the
# installed daemon starts far enough to report a missing configuration file,
# a client without a broker and a broker without a prefix, and answers
# --help and --version; the example configuration's logging blocks deliver
# records to a file and to syslog; the systemd unit's restart policy and
# systemd's own checks of the unit; the man pages render without a warning;
# and, as root, dpkg installs it into a scratch root, keeps an operator's
# configuration across a reinstall, keeps the state on removal and clears
# everything on purge.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/example_conf.sh"

QUIBD=${1:-}
[ -n "$QUIBD" ] || { echo "usage: bash $0 /path/to/build/quibd" >&2; exit 2; }
[ -x "$QUIBD" ] || e2e_fatal "daemon '$QUIBD' is not an executable file"
QUIBD=$(readlink -f "$QUIBD")
BUILD=$(dirname "$QUIBD")
[ -f "$BUILD/CPackConfig.cmake" ] || e2e_fatal "no CPackConfig.cmake beside $QUIBD"
for tool in cpack dpkg-deb dpkg groff; do
    command -v "$tool" >/dev/null 2>&1 || e2e_skip "the tool '$tool' is not installed"
done

PKG_TMP=$(mktemp -d /tmp/quibd-e2e-package.XXXXXX) || e2e_fatal "mktemp failed"
chmod 755 "$PKG_TMP"
trap 'rm -rf "$PKG_TMP"' EXIT
SKIPPED_PARTS=()

skip_part() {
    e2e_banner "SKIPPED PART: $*"
    SKIPPED_PARTS+=("$*")
}

# pkg_run OUT ERR COMMAND...: runs COMMAND with its outputs in files; RC.
pkg_run() {
    local out=$1 err=$2
    shift 2
    timeout 10 "$@" >"$out" 2>"$err" </dev/null
    RC=$?
}

# verdict DESCRIPTION STATUS: one assertion on the status of what ran
# just before (for checks made of several commands).
verdict() {
    if [ "$2" -eq 0 ]; then e2e_ok "$1"; else e2e_fail "$1"; fi
}

# Prints the lines of FILE as one text for a failure message.
shown() {
    printf '%s' "$(cat "$1")"
}

# ------------------------------------------------------------ build

e2e_log "cpack -G DEB from $BUILD"
e2e_build_deb "$QUIBD" "$PKG_TMP/pkg" || e2e_fatal "no package"
DEB=$E2E_DEB
VERSION=$("$QUIBD" --version | sed -n 's/^quibd //p')
ARCH=$(dpkg --print-architecture)
e2e_check "the package file is quibd_${VERSION}_$ARCH.deb" \
    [ "$(basename "$DEB")" = "quibd_${VERSION}_$ARCH.deb" ]

# ------------------------------------------------------------ metadata

field() {
    dpkg-deb -f "$DEB" "$1"
}
e2e_check "Package is quibd" [ "$(field Package)" = quibd ]
e2e_check "Version is what quibd --version prints ($VERSION)" [ "$(field Version)" = "$VERSION" ]
e2e_check "Architecture is $ARCH" [ "$(field Architecture)" = "$ARCH" ]
e2e_check "a Maintainer is named" [ -n "$(field Maintainer)" ]
e2e_check "Section is net" [ "$(field Section)" = net ]
DEPENDS=$(field Depends)
e2e_log "Depends: $DEPENDS"

# Each library that the daemon links must come from a package that Depends
# names: the names are found by asking dpkg who owns the library file.
depends_names() {
    field Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g' | sed '/^$/d'
}
for lib in liblog4cpp libz; do
    path=$(ldd "$QUIBD" | awk -v l="$lib" 'index($1, l) == 1 { print $3; exit }')
    owner=""
    # With merged /usr, dpkg may know the file under /lib or /usr/lib only.
    for name in "$path" "$(readlink -f "$path")" "*/$(basename "$path")"; do
        [ -n "$path" ] && [ -z "$owner" ] || break
        owner=$(dpkg -S "$name" 2>/dev/null | head -n 1 | cut -d: -f1)
    done
    if [ -n "$owner" ] && depends_names | grep -qxF "$owner"; then
        e2e_ok "Depends names $owner, which owns $path"
    else
        e2e_fail "Depends names the package that owns $lib ($path, owner '$owner')"
    fi
done
e2e_check "Depends names liblog4cpp5v5 and zlib1g" \
    sh -c 'echo "$1" | grep -qw liblog4cpp5v5 && echo "$1" | grep -qw zlib1g' - "$DEPENDS"

dpkg-deb -e "$DEB" "$PKG_TMP/control"
e2e_check "conffiles marks exactly the example configuration and the logrotate snippet" \
    [ "$(sort "$PKG_TMP/control/conffiles" 2>/dev/null | paste -sd ' ')" = \
        "/etc/logrotate.d/quibd /etc/quib/quibd.conf" ]
for script in postinst prerm postrm; do
    e2e_check "$script is an executable shell script without syntax errors" \
        sh -c '[ -x "$1" ] && sh -n "$1"' - "$PKG_TMP/control/$script"
done

# ------------------------------------------------------------ contents

dpkg-deb -c "$DEB" | awk '{ print $1, $2, $6 }' >"$PKG_TMP/contents"
has_entry() { # MODE OWNER PATH
    grep -qxF -- "$1 $2 $3" "$PKG_TMP/contents"
}
e2e_check "the daemon is /usr/sbin/quibd, root-owned and executable" \
    has_entry -rwxr-xr-x root/root ./usr/sbin/quibd
e2e_check "the example configuration is /etc/quib/quibd.conf" \
    has_entry -rw-r--r-- root/root ./etc/quib/quibd.conf
e2e_check "the unit is /usr/lib/systemd/system/quibd@.service" \
    has_entry -rw-r--r-- root/root ./usr/lib/systemd/system/quibd@.service
e2e_check "the man page quibd(8) is installed" \
    has_entry -rw-r--r-- root/root ./usr/share/man/man8/quibd.8
e2e_check "the man page quibd.conf(5) is installed" \
    has_entry -rw-r--r-- root/root ./usr/share/man/man5/quibd.conf.5
e2e_check "a copy of the example is in the documentation" \
    has_entry -rw-r--r-- root/root ./usr/share/doc/quibd/examples/quibd.conf
e2e_check "the state directory /var/lib/quibd exists" \
    has_entry drwxr-xr-x root/root ./var/lib/quibd/
e2e_check "nothing outside /etc/quib, /etc/logrotate.d/quibd, /usr and /var/lib/quibd" \
    [ -z "$(awk '{ print $3 }' "$PKG_TMP/contents" |
        grep -vE '^\./($|etc/$|etc/quib/|etc/logrotate\.d/$|etc/logrotate\.d/quibd$|usr/|var/$|var/lib/$|var/lib/quibd/$)')" ]
e2e_check "nothing under /usr/local" [ -z "$(grep -F ./usr/local "$PKG_TMP/contents")" ]

# ------------------------------------------------------------ cmake --install

# The same layout under the default prefix, and an operator's configuration
# that is already there stays as it is.
INST="$PKG_TMP/inst"
mkdir -p "$INST/etc/quib"
echo "quib.broker.address = 192.0.2.1" >"$INST/etc/quib/quibd.conf"
if DESTDIR="$INST" cmake --install "$BUILD" --prefix /usr/local >"$PKG_TMP/install.log" 2>&1; then
    e2e_ok "cmake --install with DESTDIR succeeds"
else
    cat "$PKG_TMP/install.log"
    e2e_fail "cmake --install with DESTDIR succeeds"
fi
for path in usr/local/sbin/quibd usr/local/share/man/man8/quibd.8 \
    usr/local/share/man/man5/quibd.conf.5 usr/local/share/doc/quibd/examples/quibd.conf; do
    e2e_check "cmake --install puts /$path" [ -f "$INST/$path" ]
done
e2e_check "cmake --install makes the state directory /var/lib/quibd" [ -d "$INST/var/lib/quibd" ]
e2e_check "the installed unit runs /usr/local/sbin/quibd" \
    grep -qxF 'ExecStart=/usr/local/sbin/quibd /etc/quib/%i.conf' \
    "$INST/usr/local/lib/systemd/system/quibd@.service"
e2e_check "cmake --install keeps the operator's /etc/quib/quibd.conf" \
    [ "$(cat "$INST/etc/quib/quibd.conf")" = "quib.broker.address = 192.0.2.1" ]

# ------------------------------------------------------------ installed daemon

ROOT="$PKG_TMP/x"
dpkg -x "$DEB" "$ROOT" || e2e_fatal "dpkg -x failed"
BIN="$ROOT/usr/sbin/quibd"
CONF="$ROOT/etc/quib/quibd.conf"

pkg_run "$PKG_TMP/out" "$PKG_TMP/err" "$BIN" --version
[ "$RC" -eq 0 ] && [ "$(cat "$PKG_TMP/out")" = "quibd $VERSION" ]
verdict "installed quibd --version prints 'quibd $VERSION' and exits 0" $?
pkg_run "$PKG_TMP/help" "$PKG_TMP/err" "$BIN" --help
[ "$RC" -eq 0 ] && [ "$(head -n 1 "$PKG_TMP/help")" = "Usage: quibd [config-path [mode]]" ]
verdict "installed quibd --help prints the usage and exits 0" $?
e2e_check "--help names the state file" grep -q '/var/lib/quibd/tunid' "$PKG_TMP/help"

MISSING="$ROOT/etc/quib/missing.conf"
pkg_run "$PKG_TMP/out" "$PKG_TMP/err" "$BIN" "$MISSING"
[ "$RC" -eq 255 ] && [ "$(cat "$PKG_TMP/out")" = "Couldn't load config file '$MISSING' bailing out" ]
verdict "a missing configuration: exact message and status 255" $?

pkg_run "$PKG_TMP/out" "$PKG_TMP/err" "$BIN" "$CONF"
if [ "$RC" -eq 255 ] && [ "$(cat "$PKG_TMP/out")" = \
    "Cannot run the client without knowing where to connect to. Bailing Out !" ] &&
    [ ! -s "$PKG_TMP/err" ]; then
    e2e_ok "the shipped configuration loads quietly and selects a client without a broker (255)"
else
    e2e_fail "the shipped configuration run: status $RC, out '$(shown "$PKG_TMP/out")', err '$(shown "$PKG_TMP/err")'"
fi

PREFIX_ERR="We need an IP6 Prefix at least in order to run this show in server mode. Bailing out!!!"
pkg_run "$PKG_TMP/out" "$PKG_TMP/err" "$BIN" "$CONF" broker
[ "$RC" -eq 255 ] && grep -qF "ERROR cBroker: $PREFIX_ERR" "$PKG_TMP/err"
verdict "the shipped configuration as a broker stops for the missing prefix (255)" $?

# ------------------------------------------------------------ keys

# Every key of the daemon's table, as --help lists it, is documented with its
# default in quibd.conf(5) and shown, with that default if any, in the example.
grep '^  quib\.' "$PKG_TMP/help" >"$PKG_TMP/keys"
e2e_check "--help lists the nine quib. keys or more" [ "$(wc -l <"$PKG_TMP/keys")" -ge 9 ]
while read -r key default _; do
    example=$(sed -n "s/^#$key = //p" "$CONF" | head -n 1)
    man=".BR $key \" (default \" $default )"
    [ "$default" = "(none)" ] && man=".BR $key \" (no default)\""
    if ! grep -qxF "$man" "$ROOT/usr/share/man/man5/quibd.conf.5"; then
        e2e_fail "quibd.conf(5) documents $key with the default --help shows ($default)"
    elif [ -z "$example" ]; then
        e2e_fail "the example configuration shows $key"
    elif [ "$default" != "(none)" ] && [ "$example" != "$default" ]; then
        e2e_fail "the example shows $key = $example, --help says $default"
    else
        e2e_ok "$key: documented, shown in the example ($example)"
    fi
done <"$PKG_TMP/keys"

# ------------------------------------------------------------ logging blocks

FILE_LOG="$PKG_TMP/file-block.log"
{
    echo "quib.mode = broker"
    example_log_block "$CONF" FileAppender | sed "s|/var/log/quibd/quibd.log|$FILE_LOG|"
} >"$PKG_TMP/file.conf"
pkg_run "$PKG_TMP/out" "$PKG_TMP/err" "$BIN" "$PKG_TMP/file.conf"
if [ "$RC" -eq 255 ] && [ ! -s "$PKG_TMP/err" ] &&
    grep -qE "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:,]+ ERROR cBroker: $(printf '%s' "$PREFIX_ERR" | sed 's/[.!]/\\&/g')\$" "$FILE_LOG"; then
    e2e_ok "the example's file block writes the records to the file, none to standard error"
else
    e2e_fail "file block: status $RC, err '$(shown "$PKG_TMP/err")', file '$(shown "$FILE_LOG" 2>/dev/null)'"
fi

# The syslog block, in a private mount namespace whose /dev/log is a
# listener of this test. The listener says it is ready only once it is
# bound, so the daemon never sends before anyone listens.
syslog_check() {
    e2e_find_python || { skip_part "syslog block: python3 is missing"; return; }
    {
        echo "quib.mode = broker"
        example_log_block "$CONF" LocalSyslogAppender
    } >"$PKG_TMP/syslog.conf"
    cat >"$PKG_TMP/listen.py" <<'EOF'
import os, socket, sys
path, out = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(path)
os.chmod(path, 0o666)
# Up to 10 s for the first record, then until 1 s passes without one.
s.settimeout(10)
with open(out, "wb") as f:
    open(out + ".ready", "w").close()
    try:
        while True:
            f.write(s.recv(4096) + b"\n")
            f.flush()
            s.settimeout(1)
    except socket.timeout:
        pass
EOF
    timeout 30 unshare -m sh -c '
        mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3 || exit 3
        "$1" "$2" /dev/log "$3" &
        listener=$!
        for _ in $(seq 150); do [ -e "$3.ready" ] && break; sleep 0.1; done
        [ -e "$3.ready" ] || { echo none >"$7"; kill "$listener"; exit 4; }
        "$4" "$5" >/dev/null 2>"$6"; echo $? >"$7"
        wait "$listener"' - \
        "$E2E_PYTHON" "$PKG_TMP/listen.py" "$PKG_TMP/syslog.got" "$BIN" "$PKG_TMP/syslog.conf" \
        "$PKG_TMP/syslog.err" "$PKG_TMP/syslog.rc" </dev/null
    local rc
    rc=$(cat "$PKG_TMP/syslog.rc" 2>/dev/null)
    # <27>: facility daemon (3), priority error (3); then the time stamp.
    if [ "$rc" = none ]; then
        e2e_fail "syslog block: the test's /dev/log listener did not start within 15 s"
    elif [ "$rc" = 255 ] && [ ! -s "$PKG_TMP/syslog.err" ] &&
        grep -E '^<27>' "$PKG_TMP/syslog.got" | grep -qF " quibd: cBroker: $PREFIX_ERR"; then
        e2e_ok "the example's syslog block sends the record to /dev/log as daemon.err"
    else
        e2e_fail "syslog block: status $rc, err '$(shown "$PKG_TMP/syslog.err")', got '$(shown "$PKG_TMP/syslog.got" 2>/dev/null)'"
    fi
}
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null 2>&1; then
    syslog_check
else
    skip_part "syslog block: needs root and unshare for a private /dev/log"
fi

# ------------------------------------------------------------ systemd unit

UNIT="$ROOT/usr/lib/systemd/system/quibd@.service"
e2e_check "the unit runs the installed daemon on /etc/quib/<instance>.conf" \
    grep -qxF 'ExecStart=/usr/sbin/quibd /etc/quib/%i.conf' "$UNIT"

# The restart policy, from the unit's own values: a client that gives up on
# a silent broker (status 0, after at least one 10 s wait) comes back, and
# keeps coming back, while a daemon that fails at once is refused a start
# within the rate-limit window instead of looping.
unit_value() {
    sed -n "s/^$1=//p" "$UNIT" | tail -n 1
}
RESTART=$(unit_value Restart)
RESTART_SEC=$(unit_value RestartSec | sed 's/s$//')
LIMIT_SEC=$(unit_value StartLimitIntervalSec | sed 's/s$//')
LIMIT_BURST=$(unit_value StartLimitBurst)
e2e_log "Restart=$RESTART RestartSec=${RESTART_SEC}s StartLimitIntervalSec=${LIMIT_SEC}s StartLimitBurst=$LIMIT_BURST"
e2e_check "Restart= starts the daemon again after status 0" \
    sh -c 'case $1 in always|on-success) exit 0 ;; *) exit 1 ;; esac' - "$RESTART"
if [[ "$RESTART_SEC $LIMIT_SEC $LIMIT_BURST" =~ ^[0-9]+\ [0-9]+\ [0-9]+$ ]]; then
    e2e_check "restarts wait at least 5 s" [ "$RESTART_SEC" -ge 5 ]
    e2e_check "a daemon failing at start is refused within ${LIMIT_SEC}s (start $((LIMIT_BURST + 1)) at $((LIMIT_BURST * RESTART_SEC))s)" \
        [ $((LIMIT_BURST * RESTART_SEC)) -lt "$LIMIT_SEC" ]
    e2e_check "a client giving up every $((10 + RESTART_SEC))s stays within $LIMIT_BURST starts per ${LIMIT_SEC}s" \
        [ $(((LIMIT_SEC + 10 + RESTART_SEC - 1) / (10 + RESTART_SEC))) -le "$LIMIT_BURST" ]
else
    e2e_fail "the unit sets RestartSec=, StartLimitIntervalSec= and StartLimitBurst= in seconds"
fi
if command -v systemd-analyze >/dev/null 2>&1; then
    # An instance of the unit, naming the extracted daemon, so that the
    # check of the command finds it.
    mkdir -p "$PKG_TMP/units"
    sed "s|^ExecStart=/usr/sbin/quibd |ExecStart=$BIN |" "$UNIT" \
        >"$PKG_TMP/units/quibd@broker.service"
    systemd-analyze verify --man=no "$PKG_TMP/units/quibd@broker.service" \
        >"$PKG_TMP/verify.out" 2>&1
    RC=$?
    [ "$RC" -eq 0 ] && [ ! -s "$PKG_TMP/verify.out" ]
    verdict "systemd-analyze verify accepts the unit without a word" $?
    [ -s "$PKG_TMP/verify.out" ] && cat "$PKG_TMP/verify.out"
    systemd-analyze security --offline=yes "$PKG_TMP/units/quibd@broker.service" \
        >"$PKG_TMP/security.out" 2>&1
    e2e_log "$(grep 'Overall exposure level' "$PKG_TMP/security.out")"
    for setting in 'User=/DynamicUser=' 'NoNewPrivileges=' 'ProtectSystem=' 'ProtectHome=' \
        'PrivateTmp=' 'CapabilityBoundingSet=~CAP_SYS_ADMIN' 'CapabilityBoundingSet=~CAP_NET_(BIND_SERVICE|BROADCAST|RAW)' \
        'RestrictAddressFamilies=~AF_PACKET' 'ProtectKernelTunables=' 'RestrictNamespaces=~user'; do
        e2e_check "systemd rates the unit safe on $setting" \
            grep -qF "✓ $setting " "$PKG_TMP/security.out"
    done
    EXPOSURE=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$PKG_TMP/security.out")
    e2e_check "systemd's exposure level is below 5 ($EXPOSURE)" \
        awk -v e="$EXPOSURE" 'BEGIN { exit !(e != "" && e + 0 < 5) }'
else
    skip_part "systemd-analyze is not installed: the unit was not verified"
fi

# ------------------------------------------------------------ man pages

for page in man8/quibd.8 man5/quibd.conf.5; do
    groff -ww -man -Tutf8 "$ROOT/usr/share/man/$page" >"$PKG_TMP/page.txt" 2>"$PKG_TMP/page.err"
    [ ! -s "$PKG_TMP/page.err" ] && [ -s "$PKG_TMP/page.txt" ]
    verdict "groff -ww renders $page without a warning" $?
    [ -s "$PKG_TMP/page.err" ] && cat "$PKG_TMP/page.err"
    if command -v lexgrog >/dev/null 2>&1; then
        e2e_check "whatis reads the NAME line of $page" \
            sh -c 'lexgrog "$1" | grep -q ": \"quibd"' - "$ROOT/usr/share/man/$page"
    fi
done

# ------------------------------------------------------------ dpkg install

dpkg_check() {
    local admin="$PKG_TMP/root/var/lib/dpkg" r="$PKG_TMP/root"
    mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
    : >"$admin/status"
    # The maintainer scripts run outside the root with DPKG_ROOT set; the
    # runtime libraries are the host's, so dependencies are not checked.
    pkg_dpkg() {
        dpkg --root="$r" --force-script-chrootless --force-depends \
            --force-confold "$@" >>"$PKG_TMP/dpkg.log" 2>&1 </dev/null
    }
    pkg_dpkg -i "$DEB" || { cat "$PKG_TMP/dpkg.log"; e2e_fail "dpkg -i into a scratch root"; return; }
    e2e_ok "dpkg -i installs the package into a scratch root"
    e2e_check "dpkg registers /etc/quib/quibd.conf as a conffile" \
        sh -c 'dpkg --root="$1" -s quibd | grep -qE "^ /etc/quib/quibd.conf [0-9a-f]{32}\$"' - "$r"

    echo "quib.broker.address = 192.0.2.1" >>"$r/etc/quib/quibd.conf"
    pkg_dpkg -i "$DEB"
    e2e_check "reinstalling keeps the operator's change" \
        grep -qxF "quib.broker.address = 192.0.2.1" "$r/etc/quib/quibd.conf"

    # What systemd does with StateDirectory= and DynamicUser= at first start.
    mkdir -p "$r/var/lib/private"
    mv "$r/var/lib/quibd" "$r/var/lib/private/quibd"
    ln -s private/quibd "$r/var/lib/quibd"
    printf 2305644331 >"$r/var/lib/private/quibd/tunid"
    pkg_dpkg -i "$DEB"
    e2e_check "an upgrade keeps the state directory systemd moved" \
        [ "$(cat "$r/var/lib/quibd/tunid" 2>/dev/null)" = 2305644331 ]

    pkg_dpkg -r quibd
    e2e_check "removal takes the daemon away" [ ! -e "$r/usr/sbin/quibd" ]
    [ -f "$r/etc/quib/quibd.conf" ] && [ -f "$r/var/lib/private/quibd/tunid" ]
    verdict "removal keeps the configuration and the tunnel identifier" $?
    pkg_dpkg --purge quibd
    e2e_check "purge leaves nothing of quibd" \
        [ -z "$(find "$r" -path "$r/var/lib/dpkg" -prune -o -name '*quib*' -print)" ]
}
if [ "$(id -u)" = 0 ]; then
    dpkg_check
else
    skip_part "dpkg install into a scratch root: needs root"
fi

if [ "$E2E_FAILS" -eq 0 ] && [ "${#SKIPPED_PARTS[@]}" -gt 0 ]; then
    e2e_skip "every check that could run passed; not run: ${SKIPPED_PARTS[*]}"
fi
e2e_finish
