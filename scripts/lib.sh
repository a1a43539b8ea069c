# Shared helpers for the scripts in this folder. Source it; do not run it.

# ensure_packages PKG...: installs the Debian packages that are missing.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The packages every build needs.
BASE_PACKAGES=(cmake make g++ pkg-config libgtest-dev libgmock-dev libsimpleini-dev)

# stage NAME COMMAND...: runs one stage and reports its time.
stage() {
    local name="$1"
    shift
    local start=$SECONDS
    echo "== stage: $name"
    "$@"
    echo "== stage: $name passed in $((SECONDS - start)) s"
}
