# SPDX-License-Identifier: MIT
# Shared helpers for the scripts in this folder. Source it; do not run it.

# ensure_packages PKG...: installs the Debian packages that are missing. Its
# own lines go to standard error: callers capture what a function prints.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq >&2
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

# build_and_test DIR [CMAKE ARGS...]: configures, builds and runs the suite,
# TEST_JOBS tests at a time (default JOBS).
build_and_test() {
    local dir="$1"
    shift
    cmake -S . -B "$dir" -DKQSER_WERROR=ON -DKQSER_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "${JOBS:-2}"
    ctest --test-dir "$dir" --output-on-failure -j "${TEST_JOBS:-${JOBS:-2}}" ${CTEST_ARGS:-}
}

# Debian's cross compiler and emulator for an ARM target.
cross_packages() {
    case "$1" in
        armhf) echo g++-arm-linux-gnueabihf qemu-user ;;
        arm64) echo g++-aarch64-linux-gnu qemu-user ;;
    esac
}

# cross_build_and_test ARCH: the same suite built for ARCH and run under
# qemu-user. Tests labelled noemu need the build machine itself (network
# namespaces, the build machine's compiler) and run in the native stage only.
cross_build_and_test() {
    local arch="$1"
    # shellcheck disable=SC2046
    ensure_packages $(cross_packages "$arch")
    CTEST_ARGS="-LE noemu" build_and_test "build-$arch" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch.cmake"
}
