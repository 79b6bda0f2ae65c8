#!/usr/bin/env bash
# Provision and use the Debian sid chroots that carry CPython 3.14 and the toolchain.
#
#   tools/chroot.sh ensure ARCH        create the cached chroot for ARCH (amd64|armhf) if missing
#   tools/chroot.sh path ARCH          print the chroot directory
#   tools/chroot.sh run ARCH CMD...    run CMD inside the chroot, in the work tree
#   tools/chroot.sh prune              delete chroots of earlier package lists
#
# Chroots live under $MARLINOX_CACHE (default /var/cache/marlinox), keyed by a
# hash of their package list, so a changed list builds a new one and a second
# run reuses the old one. Each run mounts the work tree (at its own path),
# /proc, /sys and /dev in a private mount namespace, so nothing is left behind
# and concurrent runs from different clones never see each other's mounts.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=$(cd "$here/.." && pwd)
cache=${MARLINOX_CACHE:-/var/cache/marlinox}

die() { echo "chroot.sh: $*" >&2; exit 2; }

packages() {
    local arch=$1
    grep -v '^\s*#' "$here/chroot-packages.txt" | awk -v a="$arch" '
        NF == 0 { next }
        NF == 1 || $2 == a || $2 == "all" { print $1 }' | sort -u
}

chroot_dir() {
    local arch=$1 key
    key=$( { echo "$arch"; packages "$arch"; echo "v2"; } | sha256sum | cut -c1-16)
    echo "$cache/sid-$arch-$key"
}

host_prepare() {
    local arch=$1 need=()
    command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
    if [ "$arch" = armhf ]; then
        command -v qemu-arm-static >/dev/null || need+=(qemu-user-static)
        command -v update-binfmts >/dev/null || need+=(binfmt-support)
    fi
    if [ ${#need[@]} -gt 0 ]; then
        echo "chroot.sh: installing on the host: ${need[*]}" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
    fi
    if [ "$arch" = armhf ]; then
        if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
            mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        fi
        if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
            update-binfmts --enable qemu-arm || update-binfmts --import qemu-arm
        fi
        [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || die "qemu-arm is not registered with binfmt_misc"
    fi
}

ensure() {
    local arch=$1 dir
    dir=$(chroot_dir "$arch")
    host_prepare "$arch"
    [ -e "$dir/.complete" ] && return 0
    mkdir -p "$cache"
    exec 9>"$cache/.lock-$arch"
    flock 9
    if [ ! -e "$dir/.complete" ]; then
        local tmp="$dir.tmp.$$"
        rm -rf "$tmp"
        echo "chroot.sh: creating $dir" >&2
        local list
        list=$(packages "$arch" | paste -sd, -)
        mmdebstrap --variant=apt --arch="$arch" --include="$list" \
            --aptopt='Acquire::Check-Valid-Until "false"' \
            --aptopt='APT::Install-Recommends "false"' \
            sid "$tmp" >&2
        touch "$tmp/.complete"
        mv "$tmp" "$dir"
    fi
    exec 9>&-
}

run() {
    local arch=$1; shift
    ensure "$arch"
    # Each run gets a mount namespace of its own: its mounts are invisible to
    # the host and to concurrent runs, and vanish with it on every exit path.
    exec unshare --mount --propagation private "$0" _run_in_namespace "$arch" "$@"
}

run_in_namespace() {
    local arch=$1; shift
    local dir; dir=$(chroot_dir "$arch")
    # The tree appears at its own path, so build caches stay valid across runs.
    local mnt="$tree"
    # No unmounting needed: the namespace, and its mounts, end with this run.
    mkdir -p "$dir$mnt"
    for m in /proc /sys /dev; do
        mount --rbind "$m" "$dir$m"
    done
    mount --bind "$tree" "$dir$mnt"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
    chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
        LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" MARLINOX_ARCH="$arch" \
        /bin/bash -c 'cd "$1" && shift && exec "$@"' bash "$mnt" "$@"
}

cmd=${1:-}; shift || true
case "$cmd" in
    ensure) ensure "${1:?arch}" ;;
    path) chroot_dir "${1:?arch}" ;;
    prune)
        # Not automatic: a run of another clone may still be using an old one.
        for arch in amd64 armhf; do
            keep=$(chroot_dir "$arch")
            find "$cache" -maxdepth 1 -name "sid-$arch-*" ! -path "$keep" -exec rm -rf {} +
        done ;;
    run) run "$@" ;;
    _run_in_namespace) run_in_namespace "$@" ;;
    *) die "usage: chroot.sh ensure|path|run ARCH [CMD...]" ;;
esac
