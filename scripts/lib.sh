# Shared by the scripts in this folder; sourced, not run.

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
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
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

# The build folder of a flavour: normal, address, thread or fuzz.
build_dir() {
    local root="$1" flavour="$2"
    case "$flavour" in
        normal) echo "$root/build" ;;
        address) echo "$root/build-asan" ;;
        thread) echo "$root/build-tsan" ;;
        fuzz) echo "$root/build-fuzz" ;;
        *) return 1 ;;
    esac
}
