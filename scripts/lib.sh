# Shared by the scripts in this folder; sourced, not run.

# What building and running the demo host needs, with the Prometheus exporter (libmicrohttpd) and
# the report tool (nlohmann-json, CLI11): all that scripts/demo installs.
demo_packages=(build-essential cmake pkg-config libtbb-dev libmicrohttpd-dev nlohmann-json3-dev
               libcli11-dev)
# What the tests, checks and benchmarks add: GoogleTest, Google Benchmark, the formatter and
# clang-tidy, python3 for the scripted tests, and Debian's Prometheus server and Pushgateway for the
# fleet test.
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev python3 clang-format clang-tidy prometheus
               prometheus-pushgateway)

# Whether every one of the Debian packages is installed.
installed() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            return 1
    done
}

# Runs a command as root: directly when already root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# Installs the Debian packages that are not installed yet (idempotent, non-interactive). Returns
# non-zero when the installation fails.
install_missing() {
    local missing=() package
    for package in "$@"; do
        installed "$package" || missing+=("$package")
    done
    [ "${#missing[@]}" -gt 0 ] || return 0
    echo "installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    # Another apt-get (a second build, the machine's own updates) may hold dpkg's lock: wait for it
    # rather than fail.
    local wait=(-o DPkg::Lock::Timeout=600)
    as_root apt-get "${wait[@]}" update -qq &&
        as_root apt-get "${wait[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The build folder of a flavour: normal (and demo, which builds part of it), address, thread or
# fuzz.
build_dir() {
    local root="$1" flavour="$2"
    case "$flavour" in
        normal | demo) echo "$root/build" ;;
        address) echo "$root/build-asan" ;;
        thread) echo "$root/build-tsan" ;;
        fuzz) echo "$root/build-fuzz" ;;
        *) return 1 ;;
    esac
}

# Builds the demo host, the exporter it loads and the report tool into build/, installing only what
# they need, and shows the build's progress on stderr (without the targets that were up to date).
build_demo() {
    local root="$1"
    echo "scripts/$(basename "$0"): building the demo host, the exporter and the report tool in" \
        "$root/build (a first build takes a few minutes)" >&2
    "$root/scripts/setup" demo quillmetrics-demo quillmetrics_prometheus quillmetrics-report |
        { grep --line-buffered -v -E '^(\[ *[0-9]+%\] Built target |Consolidate compiler)' || true; } >&2
}
