#!/bin/sh
# Makes the throwaway Debian 12 root the package tests install into (autopkgtest,
# piuparts --basetgz): a plain minbase root with apt, from this machine's mirror.
#     tests/packaging/base_root.sh [--force]
# Prints the tarball's path: build/pkg-root/bookworm-ARCH.tar.gz, kept for a week.
set -eu
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
root=build/pkg-root/bookworm-$(dpkg --print-architecture).tar.gz
mkdir -p build/pkg-root
exec 9>build/pkg-root/.lock
flock 9  # the two users of the root may ask for it at once
if [ "${1:-}" != --force ] && [ -n "$(find "$root" -mtime -7 2>/dev/null)" ]; then
    echo "$root"
    exit 0
fi
ensure_packages mmdebstrap >&2
# The host's Debian sources where they are deb822; else mmdebstrap's default
# mirror, which adds the updates and security suites itself.
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=
# Written beside and renamed, so a reader never sees half a tarball.
# shellcheck disable=SC2086  # no sources file: no argument
mmdebstrap --quiet --variant=minbase bookworm "$root.new.tar.gz" $sources >&2
mv "$root.new.tar.gz" "$root"
echo "$root"
