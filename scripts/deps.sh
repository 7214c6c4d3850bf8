# Sourced by the project's scripts: installs missing Debian packages. The
# lists below, one per purpose, are the only place that names a package.
# usage: quibd_need_packages pkg...
quibd_need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local line="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "quibd: missing Debian packages: ${missing[*]}" >&2
        echo "quibd: run as root:  $line" >&2
        return 1
    fi
    echo "quibd: installing ${missing[*]}"
    apt-get update -q || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" || return 1
}

QUIBD_BUILD_PACKAGES=(g++ make cmake pkg-config liblog4cpp5-dev zlib1g-dev libsodium-dev
    libsystemd-dev libmicrohttpd-dev nlohmann-json3-dev)
# scripts/demo: the build, and the namespaces, links and pings it shows.
QUIBD_DEMO_PACKAGES=("${QUIBD_BUILD_PACKAGES[@]}" iproute2 iputils-ping)
# The package test needs dpkg-dev and file (cpack's dependency scan), groff
# and man-db (man pages), systemd (systemd-analyze checks the unit), prometheus
# (promtool checks the metrics), mmdebstrap and systemd-container (the unit
# under a real systemd in a container).
QUIBD_TEST_PACKAGES=(libgtest-dev iproute2 iputils-ping util-linux python3 nftables
    dpkg-dev file groff-base man-db systemd prometheus mmdebstrap systemd-container)
# clang with libFuzzer and the sanitizer runtimes, for scripts/fuzz.
QUIBD_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
# scripts/bench and its smoke scenario: traffic, the peer tunnel, the chart.
QUIBD_BENCH_PACKAGES=(iperf3 openvpn gnuplot-nox python3 iproute2 iputils-ping util-linux procps)
