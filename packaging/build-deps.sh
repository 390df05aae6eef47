# Sourced by scripts/armhf-test and scripts/package: installs the Debian
# packages a build needs, quietly and only when something is missing.

# need_tool COMMAND-OR-PATH PACKAGE...
norvalith_missing=""
need_tool() {
    probe=$1
    shift
    case $probe in
        /*) [ -e "$probe" ] && return 0 ;;
        *) command -v "$probe" >/dev/null 2>&1 && return 0 ;;
    esac
    norvalith_missing="$norvalith_missing $*"
}

install_missing() {
    [ -n "$norvalith_missing" ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages:$norvalith_missing (install them as root)" >&2
        exit 1
    fi
    echo "installing:$norvalith_missing"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086  # one word per package
    if ! apt-get install -y -qq $norvalith_missing >/dev/null 2>&1; then
        apt-get update -qq >/dev/null
        apt-get install -y -qq $norvalith_missing >/dev/null
    fi
    norvalith_missing=""
}
