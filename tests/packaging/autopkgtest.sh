#!/bin/sh
# The autopkgtests (debian/tests) of the packages in DEBDIR (default build/pkg-debs)
# under autopkgtest-virt-unshare, in a throwaway Debian 12 root (base_root.sh).
# Ends with "N passed, N failed"; exit status 77 when it cannot run here.
cd "$(dirname "$0")/../.." || exit 1
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
debs=${1:-build/pkg-debs} arch=$(dpkg --print-architecture) out=build/pkg-autopkgtest
skip() { echo "SKIP: $*"; exit 77; }
ensure_packages autopkgtest mmdebstrap uidmap || exit 1  # before /etc is private
# virt-unshare maps the caller's subordinate ids (unshare --map-auto), which
# root seldom has: root gets a range in an /etc of this run's own.
if [ "$(id -u)" -eq 0 ] && ! grep -qs '^root:' /etc/subuid && [ -z "${OWN_ETC:-}" ]; then
    unshare --mount true 2>/dev/null || skip "root without the right to make a mount namespace"
    mkdir -p build && etc=$(mktemp -d "$PWD/build/autopkgtest-etc.XXXXXX") && mkdir "$etc/up" "$etc/work" || exit 1
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare --mount --propagation private sh -c 'mount -t overlay overlay \
        -o "lowerdir=/etc,upperdir=$0/up,workdir=$0/work" /etc || { echo "SKIP: no overlay on /etc"; exit 77; }
        echo root:1000000:65536 | tee /etc/subgid >/etc/subuid && OWN_ETC=1 exec "$@"' "$etc" "$0" "$@"
    status=$?
    rm -rf "$etc"
    exit $status
fi
set -- "$debs"/norvalith_*_"$arch".deb "$debs"/norvalith-sim_*_"$arch".deb
if [ ! -f "$1" ] || [ ! -f "$2" ]; then echo "no $arch packages in $debs (scripts/package)"; exit 1; fi
unshare --map-auto --map-root-user true 2>/dev/null || skip "no user namespace with subordinate ids here"
root=$(tests/packaging/base_root.sh) || exit 1
# The source as committed plus what is not yet, without build/.
rm -rf "$out" && mkdir -p "$out/src" && : >"$out/summary"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src" || exit 1
: >"$out/src/debian/files"  # a built tree: tests run from it, with no dpkg-dev in the root
autopkgtest --quiet --timeout-test=120 --summary="$out/summary" \
    --output-dir="$out/log" --setup-commands='apt-get -qq update' "$@" "$out/src/" -- \
    unshare --tarball "$root" >"$out/run.log" 2>&1
status=$?
cat "$out/summary" 2>/dev/null || tail -n 30 "$out/run.log"
case $status in 2 | 8) skip "autopkgtest skipped the tests (see $out/run.log)" ;; esac
passed=$(grep -c ' PASS' "$out/summary") failed=$(grep -vc ' PASS' "$out/summary")
[ "$status" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1  # the testbed failed
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
