# shellcheck shell=dash
# Sourced by the scripts (bash and sh alike), at the top of the tree.

# The Python that stages and drives the daemon is the package tests/harness.
PYTHONPATH="$PWD/tests${PYTHONPATH:+:$PYTHONPATH}"
PYTHONDONTWRITEBYTECODE=1
export PYTHONPATH PYTHONDONTWRITEBYTECODE

# refresh_package_lists [SUDO]: apt-get update. An index that cannot be fetched (a
# mirror being synced) is named and the lists already there are used: whether the
# packages can be had is for apt-get install to say.
refresh_package_lists() {
    local log
    log=$(mktemp)
    if ! $1 env DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$log" 2>&1; then
        grep -E '^(E|W): ' "$log" | sed 's/^/apt-get update: /' >&2
        echo "apt-get update failed for the indexes above; going on with the package lists there are" >&2
    fi
    rm -f "$log"
}

# ensure_packages PACKAGE...: installs the Debian packages that are missing, quietly:
# as root, or through sudo where it needs no password; anyone else is told the
# command. Refreshes the package lists first, and only when something is missing.
ensure_packages() {
    command -v dpkg-query >/dev/null 2>&1 || return 0  # not Debian: the build says what it lacks
    local pkg missing="" sudo="" log
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $pkg"
    done
    [ -n "$missing" ] || return 0
    missing=${missing# }
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
            sudo="sudo -n"
        else
            echo "missing Debian packages: $missing" >&2
            echo "install them with:  sudo apt-get install -y $missing" >&2
            return 1
        fi
    fi
    echo "installing: $missing"
    refresh_package_lists "$sudo"
    log=$(mktemp)
    # shellcheck disable=SC2086  # one word per package
    if ! $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing \
         >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        rm -f "$log"
        echo "could not install: $missing" >&2
        return 1
    fi
    rm -f "$log"
}

# The packages every build and test needs (node exporter and promtool for the
# system tests that read the daemon's metrics as a fleet's Prometheus would;
# fusefat and dosfstools for the export on FAT).
# shellcheck disable=SC2034  # used by the scripts that source this
BASE_PACKAGES="cmake g++ make libgtest-dev libgmock-dev python3 util-linux mount iproute2 faketime tzdata procps strace systemd
prometheus-node-exporter prometheus fusefat dosfstools"
